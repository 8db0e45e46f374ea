// A driver image made only of object libraries still needs one source of its own.
