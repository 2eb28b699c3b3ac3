"""Trading-system building blocks: packed market-data records and their classes."""
