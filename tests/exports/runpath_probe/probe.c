/* A library linked with an empty run path element, for the run path checker
 * to catch. */
int runpath_probe(void) { return 1; }
