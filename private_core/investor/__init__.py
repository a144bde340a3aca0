"""Native core of the investor-flow client."""
