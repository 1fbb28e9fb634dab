/* The chunk reporter: the callback that both exports hand their chunks to. */
#ifndef CHUNK_REPORTER_H
#define CHUNK_REPORTER_H

#include "worm_api.h"

/* Prints one numbered line per chunk; the numbers run on across both exports. */
worm_chunk_callback export_chunk_callback;

#endif /* CHUNK_REPORTER_H */
