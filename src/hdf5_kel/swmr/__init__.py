"""Live readers, frame buffers and test writers for SWMR files."""
