// The receiver simulator (to be written).
