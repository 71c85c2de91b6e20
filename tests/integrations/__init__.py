"""Tests of korvane.integrations against real servers and frameworks."""
