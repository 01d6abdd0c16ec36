"""korvex: test automation tools."""
