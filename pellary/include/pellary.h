/*
 * pellary.h - the shared value store: named values kept for the process
 *
 * This is the project's own stand-in for the platform's pellary library,
 * written from what wanseer relies on.  It exports four operations, by name
 * and, where the platform binds by number, as 1 open, 2 close, 3 write,
 * 4 read.
 *
 *   int32_t pellary_open(void);
 *   int32_t pellary_close(void);
 *   int32_t pellary_write(const char *key, const void *data, int32_t length);
 *   int32_t pellary_read(const char *key, void *buffer, int32_t *length);
 *
 * OPENS NEST
 *   Every open is counted, per calling thread, and every close takes back one
 *   open made by the same thread.  The store is usable from every thread
 *   while any open is outstanding; the opens of a thread that ends without
 *   closing stay in force.  A close never drops the values: they are kept for
 *   the life of the process.
 *
 * THREADS
 *   All four operations may be called from any number of threads at once.
 *   A read sees a value either whole before or whole after a concurrent
 *   write, never a mix of the two.  A thread is known by its thread id
 *   (pthread_self): opens left by a thread that ended pass to a later
 *   thread that the system gives the same id.
 *
 * FORK
 *   A fork at any moment, also while another thread writes, leaves the
 *   child a usable store holding exactly what it held at the fork; the
 *   forking thread keeps its opens in the child.
 *
 * LOADING
 *   The library uses no thread-local storage, so dlopen can load it however
 *   much static TLS the process has used.  Once loaded it stays loaded
 *   (values are kept for the life of the process).
 *
 * RESULTS
 *   pellary_open   0 success; -1 the store cannot be used (this thread's
 *                  open count is at its limit, INT32_MAX).
 *   pellary_close  0 success; -4 this thread holds no open.
 *   pellary_write  0 the value (length bytes of data) is stored under key,
 *                  replacing any earlier one; -3 bad arguments (key NULL or
 *                  empty, length negative, data NULL with length above 0);
 *                  -4 the store is not open.
 *   pellary_read   0 the value is copied to buffer and *length is set to its
 *                  size; 1 nothing is stored under key (*length unchanged);
 *                  2 buffer too small: nothing copied, *length set to the
 *                  size needed; -3 bad arguments (key NULL or empty, length
 *                  NULL or *length negative, buffer NULL with *length above
 *                  0); -4 the store is not open.
 */
#ifndef PELLARY_H
#define PELLARY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PELLARY_OK 0
#define PELLARY_UNAVAILABLE (-1)
#define PELLARY_NOT_FOUND 1
#define PELLARY_TOO_SMALL 2
#define PELLARY_BAD_ARGUMENT (-3)
#define PELLARY_NOT_OPEN (-4)

#if defined(__GNUC__)
#define PELLARY_API __attribute__((visibility("default")))
#else
#define PELLARY_API
#endif

PELLARY_API int32_t pellary_open(void);
PELLARY_API int32_t pellary_close(void);
PELLARY_API int32_t pellary_write(const char* key, const void* data, int32_t length);
PELLARY_API int32_t pellary_read(const char* key, void* buffer, int32_t* length);

#ifdef __cplusplus
}
#endif

#endif /* PELLARY_H */
