/* A stand-in codec library that exports only its version function: binding it must fail at
   the first entry it lacks. */
unsigned avcodec_version(void) { return (59u << 16) | (37u << 8) | 100u; }
