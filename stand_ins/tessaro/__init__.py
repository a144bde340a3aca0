"""Test/demo stand-in for the tessaro host package."""
