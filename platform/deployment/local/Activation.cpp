// Placeholder until the local package store exists.
