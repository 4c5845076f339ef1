// AVI file writer.
