/*
 * wanseer.h - learn this machine's external IPv4 address from a probe server
 *
 * SYNOPSIS
 *   #include <wanseer.h>
 *   link with -lwanseer (pkg-config wanseer), or load libwanseer.so.1 with dlopen(3)
 *
 *   void    wanseer_init(const void *reserved, const char *key);
 *   void    wanseer_startup(const char *server);
 *   void    wanseer_stop(void);
 *   int32_t wanseer_get(void *buffer, int32_t *length);
 *
 * DESCRIPTION
 *   The library runs one background worker that asks a probe server over UDP
 *   for the address under which it sees this host, and keeps the 4-byte answer
 *   in the value store (pellary) under a key, "IP" unless the host sets
 *   another.  The store is per-process: it lives in the memory of the
 *   process that loaded the library, for that process's life; no other
 *   process sees it, and nothing is kept across runs.  The key is the name of
 *   the address within that store: a host that keeps values of its own
 *   there chooses it so that the address does not overwrite one of them,
 *   and wanseer_get reads under the same key.  It does not make the address
 *   visible to other processes.  With an answering server the worker asks again every 45 to 75
 *   seconds, 60 on average, each interval drawn at random and counted from
 *   the answered request, so that hosts lined up by an outage of their
 *   server spread out again.  On Linux it also asks about half a second
 *   after a network change, at most once every 5 seconds (NETWORK CHANGES
 *   below).  While no answer comes it asks again at once.  The receive
 *   timeout starts at 5 s and grows by 1 s with each miss, up to 60 s; it is
 *   kept after a reply, never reset, so once it has reached 60 s every later
 *   miss waits 60 s.  The 4 bytes are stored exactly as the server sent
 *   them: for the bundled wanseer-probe-server they are the IPv4 address in
 *   network byte order.
 *
 *   The worker only accepts a datagram of at least 4 bytes whose source
 *   address and port are those of the configured server; anything else
 *   reaching its port is dropped and cannot change the stored value or where
 *   the requests go.  Of a longer datagram the first 4 bytes are the answer.
 *
 *   The library has no configuration of its own and writes no log.  It reads
 *   files and environment only to look up a host name, itself and with
 *   close-on-exec descriptors, as the C library's resolver reads them:
 *   /etc/resolv.conf ("nameserver", "search", "domain" and "options
 *   timeout:N attempts:N rotate ndots:N", capped at 30 s, 5 attempts and 15
 *   dots), /etc/hosts, and the variables RES_OPTIONS and LOCALDOMAIN.  The
 *   hosts file is always asked before the name servers.  A port given as a
 *   service name is looked up in the services database by wanseer_startup
 *   on the calling thread.  Failures are reported through
 *   results and errno only.  Functions that succeed leave errno as the caller
 *   had it, so a host can clear errno before a call of a void function and
 *   test it afterwards.
 *
 * CALLING ORDER AND THREADS
 *   1. wanseer_init is optional and is called before wanseer_startup, never
 *      while a worker runs or a wanseer_get is under way.
 *   2. wanseer_startup starts the worker; it is called once, and again only
 *      after wanseer_stop.
 *   3. wanseer_get may be called at any time, from any number of threads at
 *      once, with or without a running worker.
 *   4. wanseer_stop is called once for each wanseer_startup and always before
 *      the host unloads the library.
 *   5. wanseer_startup and wanseer_stop are never called at the same time
 *      from two threads.
 *   The library takes no lock of its own on these calls (only a fork waits
 *   for a start or stop under way, see below); these rules are the host's
 *   part.
 *   The library does no work when it is loaded, none when it is unloaded
 *   unless a worker was left running (see "exit, unload" below), and may be
 *   loaded and unloaded (dlopen/dlclose) any number of times.
 *   The worker is one thread, named "wanseer" (pthread_setname_np; the
 *   name ps -L, top -H and /proc/PID/task/TID/comm show).  wanseer_stop
 *   joins it; its kernel task may still be listed in /proc for a moment
 *   after the join returns.
 *
 * FORK, EXEC, EXIT AND UNLOAD
 *   fork   A child of a host with a running worker has no worker: the
 *          worker is a thread of the parent.  In the child, wanseer_get
 *          returns what the store held at the fork; wanseer_stop returns at
 *          once and touches nothing the parent's worker uses; wanseer_startup
 *          starts a worker of the child's own, which wanseer_stop then stops.
 *          The child's copies of the worker's descriptors are closed in the
 *          child as the fork returns; the parent's worker goes on untouched,
 *          whatever the child does.  A fork made while another thread is
 *          in wanseer_startup or wanseer_stop waits until the worker has
 *          started or ended (microseconds, at most the milliseconds of a
 *          stop), so that no lock of the thread library underneath is
 *          caught held.  The library registers its fork handlers
 *          (pthread_atfork) at the first wanseer_startup of each load; the C
 *          library drops them when the library is unloaded.  The thread
 *          manager of the parent's worker cannot be used in the child and is
 *          left behind there, a few hundred bytes, once per fork generation.
 *   exec   Every descriptor the library opens is close-on-exec from its
 *          creation: no program that the host runs (fork and exec,
 *          posix_spawn, system, popen) inherits one, whichever thread
 *          starts it and whenever.  The one exception: for a host name, the
 *          resolver library (c-ares) reads /dev/urandom for a moment while
 *          the worker starts, without close-on-exec.  A fork waits for that
 *          start; a posix_spawn or vfork on another thread at that moment
 *          could inherit it.
 *
 * DESCRIPTORS
 *   wanseer_startup takes two descriptors (the worker's wake-up handle and
 *   its wait set, an epoll(7) instance); the worker opens its UDP socket and,
 *   on Linux, its rtnetlink socket at its start and, for a host name, the
 *   resolver's sockets during a lookup.
 *   A host may lower its RLIMIT_NOFILE afterwards, to 0 even: the worker
 *   still takes its replies and ends within milliseconds of wanseer_stop.
 *   Only a socket or lookup that needs a new descriptor then fails, as a
 *   miss.
 *   exit, unload
 *          Call wanseer_stop first.  A host that exits (return from main,
 *          exit) or unloads the library (dlclose) while a worker runs does
 *          not hang: the library then stops the worker itself, as
 *          wanseer_stop does, within milliseconds and before its code is
 *          unmapped.  That stop is safe while another thread of the host is
 *          inside wanseer_stop: one of the two joins the worker, the other
 *          waits for it.  This is the only work the library does at unload, and
 *          only for a worker that was left running.  _exit and quick_exit
 *          end the process without any of this, which is safe too.
 *
 * VERSION
 *   WANSEER_VERSION_MAJOR, WANSEER_VERSION_MINOR and WANSEER_VERSION_PATCH
 *   (from <wanseer_version.h>, which this header includes) name the release
 *   of the headers; the major number is the one in the library's SONAME,
 *   libwanseer.so.WANSEER_VERSION_MAJOR.
 */
#ifndef WANSEER_H
#define WANSEER_H

#include <stdint.h>

#include <wanseer_version.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define WANSEER_API __attribute__((visibility("default")))
#else
#define WANSEER_API
#endif

/* Room for a key name, its terminating NUL included. */
#define WANSEER_KEY_CAPACITY 256

/* Length of the stored external address value, in bytes. */
#define WANSEER_ADDRESS_LENGTH 4

/* Results of wanseer_get (see there). */
#define WANSEER_OK 0               /* the address is in buffer */
#define WANSEER_BUFFER_TOO_SMALL 2 /* *length now says the room needed */
#define WANSEER_ERROR (-1)         /* see errno */
#define WANSEER_NOT_FOUND (-2)     /* no address learned yet */

/*
 * wanseer_init - choose the key under which the address is stored
 *
 *   reserved  never read; pass NULL.
 *   key       NUL-terminated key name of 1 to WANSEER_KEY_CAPACITY - 1 bytes.
 *
 *   The new key replaces the old one whole and is used by the worker and by
 *   wanseer_get from then on.  Without a call the key is "IP".
 *
 * ERRORS (the key stays as it was)
 *   EINVAL        key is NULL or empty.
 *   ENAMETOOLONG  key has WANSEER_KEY_CAPACITY bytes or more before its NUL;
 *                 it is refused, never cut short.  At most
 *                 WANSEER_KEY_CAPACITY bytes of it are read.
 */
WANSEER_API void wanseer_init(const void* reserved, const char* key);

/*
 * wanseer_startup - start the background worker
 *
 *   server  NUL-terminated "host:port", a dotted IPv4 address or host name,
 *           a colon and a port number or service name, e.g.
 *           "192.0.2.10:7171", for a wanseer probe server; or
 *           "stun:host[:port]" for any STUN server, e.g.
 *           "stun:stun.example.org" (see STUN SERVERS).
 *
 *   Returns at once; the worker opens its socket and the store and probes
 *   in the background.  The text is parsed, and a service name looked up
 *   (getservbyname_r(3), "tcp" entry), before wanseer_startup returns.  A
 *   text without a host part ("7171", ":7171") or with the host 0.0.0.0
 *   names no server and is unusable, and so is one without a port, with
 *   an empty port, port 0, a port above 65535 or an unknown service name.
 *   An unusable text sets errno to EINVAL (see ERRORS), yet the worker is
 *   started all the same, as before this was reported: each attempt is a
 *   miss that sends no request, on the normal schedule (without spinning),
 *   until wanseer_stop, so a host that ignores errno behaves as it did.  A
 *   socket that cannot be opened is not reported: each attempt is then a
 *   miss, and the worker opens the socket again at each attempt.  If the store cannot
 *   be opened the worker ends by itself; wanseer_stop is still called.
 *
 * HOST NAMES
 *   A dotted address is used as it is.  A host name (at most 253 bytes,
 *   labels of 1 to 63 letters, digits, '-' or '_', the last not all
 *   digits; anything else, such as 256.1.1.1, is an unusable text that is
 *   never looked up) is looked up for its IPv4 addresses in the
 *   background, through the hosts file and the name servers of the
 *   system's resolver configuration.  The hosts file and the
 *   name servers are read afresh for every lookup; the options and search
 *   list are those in force when the worker starts.  A lookup is part of
 *   an attempt: the attempt's receive timeout (see DESCRIPTION) bounds the
 *   lookup and the wait for the reply together, and a lookup that fails
 *   or finds no IPv4 address is a miss like an unanswered request.  The
 *   name is looked up at the first attempt and again after every miss, so
 *   a name that does not resolve yet (a host that starts before its
 *   network) is found once it does, and a server that moves is followed one
 *   miss after it stops answering; while the server answers, its address is
 *   kept.  Of several addresses, each miss moves on to the next one.  A
 *   text that cannot be a host name is never looked up.
 *
 *   Each attempt sends its request only after reading away whatever is
 *   already queued on the socket, and takes a reply only from the address
 *   and port it asked (the socket is connected to it).
 *
 * NETWORK CHANGES (Linux)
 *   The worker also watches the kernel's news (an rtnetlink socket, opened
 *   by the worker, close-on-exec and closed in a forked child like its
 *   other descriptors) of IPv4 addresses added or removed, default routes
 *   changed, and links that start or stop carrying traffic, as after a
 *   resume from suspend.  Such a change ends the pause or the attempt under
 *   way (its host name lookup, its wait for a reply, its STUN transaction:
 *   an answer would tell of the old network); the next request leaves
 *   about half a second later, so that a burst of changes costs one
 *   request, and at most once every 5 seconds (news within those 5 seconds
 *   is acted on when they are over).  That
 *   attempt looks a host name up afresh and lets the kernel choose the
 *   source address for the new network; its receive timeout is the one the
 *   worker had.  A kernel filter drops news that cannot matter (links that
 *   are down coming and going, other routes), so a busy container host costs
 *   the worker next to nothing, and a quiet pause still has no wake-ups.
 *   Where the socket cannot be opened (a sandbox, another system) the worker
 *   keeps to the schedule above.
 *
 * STUN SERVERS
 *   A text "stun:host[:port]" (the scheme in any case: "STUN:" too) asks a
 *   STUN server (RFC 8489 Binding; wanseer-probe-server answers it too)
 *   instead of a probe server, on the same schedule.  Without a port, a
 *   host name's SRV record "_stun._udp.host" is looked up first and its
 *   targets are asked in priority order, those of one priority in an order
 *   drawn at random by their weights (RFC 2782), each on its own port; the
 *   order drawn is kept while the records stay the same, each miss moving
 *   on to the next target.  Where the name servers say there is no such
 *   record (NXDOMAIN, or no SRV record), and for a dotted address, the port
 *   is 3478; where they fail to say (SERVFAIL, no answer), the attempt is a
 *   miss and the next one asks again.
 *   Each attempt sends a Binding request with a fresh 96-bit transaction ID
 *   from getrandom(2), and sends the same request again 0.5, 1.5, 3.5,
 *   7.5 ... s after the first (RFC 8489 section 6.2.1, at most 7 sends).
 *   The transaction ends at the first answer, 8 s (16 x 500 ms) after the
 *   seventh request (39.5 s after the first), or when the attempt's receive
 *   timeout ends.  An address counts only when it comes from the address
 *   and port asked, in a well-formed Binding success response with the
 *   magic cookie and the request's transaction ID and no
 *   comprehension-required attribute the library does not know, from an
 *   IPv4 XOR-MAPPED-ADDRESS or, only where that is absent, an IPv4
 *   MAPPED-ADDRESS; its 4 address bytes are stored as a probe reply's are.
 *   Attributes after MESSAGE-INTEGRITY, other than MESSAGE-INTEGRITY-SHA256
 *   and FINGERPRINT, are ignored; no credentials are checked.  From the
 *   address and port asked and with the transaction ID, a Binding error
 *   response (any code), a success with a comprehension-required attribute
 *   the library does not know, or a success without an IPv4 address ends
 *   the transaction as a miss at once: nothing more is sent, and no later
 *   answer to it counts.  A 300 (Try Alternate) with an IPv4
 *   ALTERNATE-SERVER sends the next attempt to that server, once; the
 *   attempt after it asks the configured server again (the alternate's own
 *   300 is not followed).  A transaction that ends without an address
 *   leaves its attempt waiting out the receive timeout, as every miss does,
 *   so the schedule stays the same.  Forged and malformed datagrams are
 *   dropped and the transaction waits on.  The texts "stun:", "stun::3478",
 *   "stun:host:", "stun:host:0", "stun:host:99999" and "stun:0.0.0.0" name
 *   no server: every attempt is a miss.
 *   Until the kernel's random source is ready (early at boot), an attempt
 *   sends nothing rather than a guessable ID, and is a miss.
 *
 * ERRORS (no worker was started, but for an unusable text; wanseer_stop is
 *         then a harmless no-op unless an earlier worker is still running)
 *   EINVAL  server is NULL; or the text is unusable (see above), and then
 *           the worker runs all the same and wanseer_stop is called as
 *           usual.
 *   EBUSY   a worker started earlier has not been stopped with wanseer_stop;
 *           that worker keeps running untouched.
 *   ENOMEM  the copy of the text, the thread manager or the wait set could
 *           not be made, or the fork handlers could not be registered.
 *   EMFILE, ENFILE
 *           no descriptor for the worker's wake-up handle or wait set.
 *   EAGAIN  the worker thread could not be created (or another errno that
 *           the thread creation reported).
 */
WANSEER_API void wanseer_startup(const char* server);

/*
 * wanseer_stop - stop the worker and wait for it to end
 *
 *   Asks the worker to end and blocks until it has.  Every wait of the
 *   worker, a host name lookup included, ends as soon as the stop is asked
 *   for, so the call returns within milliseconds in every state.  A reply
 *   that arrived before the stop is still stored.  Without a started worker
 *   (none started, or already stopped) the call does nothing.  Never fails;
 *   errno is left alone.
 */
WANSEER_API void wanseer_stop(void);

/*
 * wanseer_get - read the stored external address
 *
 *   buffer  caller memory that receives the value; should hold at least
 *           WANSEER_ADDRESS_LENGTH bytes.
 *   length  in: how many bytes buffer holds, 0 or more.
 *           out: see the results below.
 *
 *   The first *length bytes of buffer are set to zero, then the store is
 *   opened, the value under the current key is read into buffer, and the
 *   store is closed.  Works with or without a running worker; after
 *   wanseer_stop it still returns the last stored address.  Safe to call
 *   from any number of threads at once, also while the worker stores a new
 *   value: a caller sees either the old or the new value, never a mix.
 *
 * RETURN VALUE
 *   WANSEER_OK (0)
 *       the address is known: the 4 bytes are in buffer, *length is set to 4.
 *   WANSEER_NOT_FOUND (-2)
 *       no address learned yet (nothing stored under the key).
 *   WANSEER_BUFFER_TOO_SMALL (2)
 *       buffer too small: nothing copied, *length is set to the size needed.
 *   WANSEER_ERROR (-1)
 *       errno says what failed (see ERRORS).
 *   Any other value is the store's own read status, passed on unchanged.
 *
 * ERRORS (with WANSEER_ERROR)
 *   EINVAL  buffer or length is NULL, or *length is negative; nothing is
 *           cleared or read, and the count behind length is not looked at
 *           when buffer is NULL.
 *   EIO     the store could not be opened.
 *
 * EXAMPLE
 *   The first answer takes a round trip after wanseer_startup, so wait for
 *   it, but not for ever: with a dead server nothing ever comes.
 *
 *   unsigned char ip[WANSEER_ADDRESS_LENGTH];
 *   int32_t length = sizeof ip, status;
 *   wanseer_startup("192.0.2.10:7171");
 *   for (int tries = 0; tries < 50; ++tries) {   // up to 5 s
 *     length = sizeof ip;
 *     if ((status = wanseer_get(ip, &length)) != WANSEER_NOT_FOUND)
 *       break;
 *     usleep(100 * 1000);
 *   }
 *   if (status == WANSEER_OK)
 *     printf("%u.%u.%u.%u\n", ip[0], ip[1], ip[2], ip[3]);
 *   else  // not yet: go on without it and ask again later (the worker keeps
 *         // trying), or check the server text and that the server answers
 *     fprintf(stderr, "no external address yet\n");
 *   wanseer_stop();   // at the end of the host's use, before unloading
 */
WANSEER_API int32_t wanseer_get(void* buffer, int32_t* length);

#ifdef __cplusplus
}
#endif

#endif /* WANSEER_H */
