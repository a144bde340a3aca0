"""Native core of the market-data client.

The package imports nothing on its own: each extension module is loaded by
its dotted name and brings in only what it needs.
"""
