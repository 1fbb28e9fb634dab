/*
 * worm_store.h - result codes of the stand-in WormAPI library, a simulated WORM
 * store over a directory.  This list is the one place they are defined.
 */
#ifndef WORM_STORE_H
#define WORM_STORE_H

/* Each code's meaning is worded here alone, one line each and without a
 * semicolon: the packages' READMEs take them from this list. */
enum worm_store_result {
    WORM_OK = 0,                     /* success */
    WORM_ERR_NULL_ARGUMENT = 10,     /* a null handle, handle address, drive or callback */
    WORM_ERR_NO_STORE = 11,          /* the drive is not an existing folder (no handle is written) */
    WORM_ERR_BAD_RANGE = 12,         /* first transaction greater than the last (no chunk is sent) */
    WORM_ERR_NOT_SUPPORTED = 13,     /* a non-null client: only null, every client, is supported (no chunk is sent) */
    WORM_ERR_STORE_UNREADABLE = 14,  /* a folder of the store could not be listed */
    WORM_ERR_RECORD_UNREADABLE = 15, /* a record could not be read whole, or is not the file listed */
    WORM_ERR_CALLBACK_STOPPED = 16,  /* the callback returned non-zero */
    WORM_ERR_OUT_OF_MEMORY = 17,     /* out of memory */
    WORM_ERR_INTERNAL = 18           /* any other failure inside the library */
};

/* The stream reaches the callback in chunks of this many bytes; the last chunk of
 * an export may be shorter.  A multiple of the 512-byte TAR block. */
#define WORM_STORE_CHUNK_SIZE (256 * 1024)

#endif /* WORM_STORE_H */
