// Stands in for an area of the core that has no sources yet.
