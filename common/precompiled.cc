// The libraries share one precompiled header of the standard library and
// fmt, built with this otherwise empty library.
