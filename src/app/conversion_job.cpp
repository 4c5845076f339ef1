// Conversion job state.
