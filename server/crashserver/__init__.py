"""Crash server: receives the suite's uploads, decides which archives it wants, groups crashes by
crash ID and shows them to the product team (see server/README.md)."""
