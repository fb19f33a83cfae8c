// The test executables share one precompiled header (GoogleTest and the
// standard library), built with this otherwise empty program: an executable,
// so that it is compiled with the same code-generation flags as the tests.
int main() { return 0; }
