"""Importable utility module; defines no names."""
