"""The base layer: packed market-data records and the classes over them."""
