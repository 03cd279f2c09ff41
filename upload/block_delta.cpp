// Filled in as the upload engine is built.
