// What the services need from the operating system beyond POSIX, in their own words. The
// plug-in was designed for macOS; each stand-in here gives Linux the behaviour the services
// expect, one file per interface (finder_info.cpp, colon_path.cpp, sockets.cpp, entropy.cpp).
// Services call platform:: and never test the system they run on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// ---- Files: Finder information, resource forks, colon paths, basename ----------------------

// The two attributes of a file that the file commands read and write, as macOS names them. Here
// they live in an AppleDouble file "._" + the file's name beside it (finder_info.cpp), as macOS
// keeps them on volumes without extended attributes. Other names are not supported.
inline constexpr char kFinderInfoAttr[] = "com.apple.FinderInfo";
inline constexpr char kResourceForkAttr[] = "com.apple.ResourceFork";

// Reads up to size bytes of the attribute from byte `position` on; a null buffer asks for the
// attribute's size. The Finder information (32 bytes) is read at position 0 only, into a buffer
// of at least 32 bytes. Answers the bytes read (or the size), or -1 with errno: ENODATA when the
// file has no such attribute (an all-zero Finder information and an empty resource fork count as
// none), ENOENT when the file does not exist, ERANGE for a Finder information buffer too small,
// EINVAL for a position the attribute cannot have. The path form follows symbolic links.
long getAttribute(const char* path, const char* name, void* buffer, size_t size, uint32_t position);
long getAttribute(int fd, const char* name, void* buffer, size_t size, uint32_t position);

// Writes size bytes of the attribute at byte `position`. A resource fork written at position 0
// is replaced by the bytes; written further on, it keeps what it held and grows as needed. The
// Finder information is written whole: 32 bytes at position 0. Answers 0, or -1 with errno
// (ERANGE, EINVAL, EFBIG past 4 GB, or the file system's errno); on failure the attribute holds
// what it held, or for a fork write the bytes already written.
int setAttribute(const char* path, const char* name, const void* value, size_t size,
                 uint32_t position);
int setAttribute(int fd, const char* name, const void* value, size_t size, uint32_t position);

// Removes one attribute of an open file: 0, or -1 with errno (ENODATA when there was none).
int removeAttribute(int fd, const char* name);
// Removes every attribute of the regular file the path names (not following a final symbolic
// link), as removing the file removes them on macOS: 0 also when there were none, else -1 with
// errno. Call it for a regular file only: nothing beside a device or a pipe is the file's.
int removeAttributes(const char* path);

// Only a regular file has a Finder information and a resource fork: for a device, a pipe or a
// folder the reads above answer ENODATA and the writes ENOTSUP, and nothing beside it is read,
// made or removed.

// Puts the regular file `from` in the place of `to` by a rename, with its Finder information and
// resource fork: the sidecar of `to` becomes the one of `from`, with the entries that the plug-in
// does not own kept from the old sidecar of `to` when that is a sound AppleDouble file; an old
// sidecar that is damaged, a link, a pipe or an empty folder is replaced, never followed. All of it
// or nothing: when any step fails, the last rename included (EBUSY onto a mount point, EPERM onto
// another user's file in a sticky folder), the steps before it are undone, so that `to` and its
// sidecar are exactly as they were, and `from` with its own sidecar stays. Answers 0, or -1 with
// the errno of the step that failed.
int replaceFile(const char* from, const char* to);

// Renames a file as rename(2) does: 0, or -1 with errno. The file services rename through it
// alone, so that a test can make any of their renames fail (testing::setRenameHook).
int renameFile(const char* from, const char* to);

// A new file in the folder of `path`, made with the given permission bits (the umask applies),
// never through a name that already exists. Its name is short, so that it fits wherever a file
// name fits. Answers the descriptor with its path in `created`, or -1 with errno.
int createFileBeside(const std::string& path, unsigned mode, std::string& created);

// The POSIX path of a colon-separated path (volume name first; a leading ':' is relative to the
// working folder, each further empty component is the parent folder; a trailing ':' names a
// folder). A bare name stays as it is. False, and posixPath untouched, for an empty path, one
// with an unpaired surrogate or U+0000, or one with a component "..".
bool colonPathToPosix(const std::u16string& colonPath, std::u16string& posixPath);

// The last component of a path by the POSIX rule: trailing slashes do not count, "/" stays "/",
// and an empty path is ".".
std::string basename(const std::string& path);

namespace testing {
// Sees every renameFile before it happens: the hook answers 0 to let it happen, or an errno to
// make it fail as the system would (EBUSY onto a mount point, EPERM in a sticky folder). An empty
// hook lets every rename happen. Not reachable through FourDPackex.
using RenameHook = std::function<int(const char* from, const char* to)>;
void setRenameHook(RenameHook hook);
}  // namespace testing

// ---- Network: sockets and entropy ----------------------------------------------------------

// A new socket of the given type, non-blocking and close-on-exec, never on descriptor 0 (a host
// that closed its standard input would otherwise have "no socket" read as a live one). Answers
// the descriptor, or -1 with errno set.
int openSocket(int domain, int type, int protocol);
// One waiting connection of a listening socket, non-blocking and close-on-exec like every other
// socket, never on descriptor 0; -1 with errno set when none is waiting or the call fails.
int acceptConnection(int listener);
// One send that never raises SIGPIPE: a broken connection answers -1 with EPIPE. The host's
// signal dispositions stay untouched. It never waits, whatever mode the socket is in.
long sendWithoutSignal(int fd, const void* bytes, unsigned long count);
// One receive that never waits, whatever mode the socket is in; answers as recv does.
long receiveNow(int fd, void* bytes, unsigned long count);
// Gives a socket the time-out that receiveWaiting waits at most; false when the system refused
// it, and receiveWaiting must then not be used on the socket.
bool setReceiveWait(int fd, int milliseconds);
// One receive that, when the socket holds nothing yet, waits for the first bytes up to the
// time-out that setReceiveWait gave the socket (the system rounds it up to its clock tick),
// asleep in the receive itself: a stream that reads piece after piece from a fast peer spends
// far less there than in a poll followed by a read. The socket is blocking for this call only.
// Answers as recv does; a wait that ended without bytes, or that a signal interrupted, answers
// -1 with EAGAIN.
long receiveWaiting(int fd, void* bytes, unsigned long count);
// True when the socket can be written now or has a pending error; waits at most timeoutMs
// milliseconds (0: only looks).
bool waitWritable(int fd, int timeoutMs);
// True when the socket has bytes (or an end, or an error) to read now; waits at most timeoutMs
// milliseconds (0: only looks).
bool waitReadable(int fd, int timeoutMs);
// Sleeps for that many milliseconds, on no socket.
void pause(int milliseconds);

// What the close probe of a connected socket saw: the peer's close, a pending socket error, or
// a live connection (an urgent byte, when one was pending, has been read and dropped).
struct ConnectionProbe {
  bool peerClosed = false;
  int error = 0;  // an errno, 0 for none
};
ConnectionProbe probeConnection(int fd);

// Two memory figures that feed the TLS library's random generator as extra input: the free
// and the total physical pages, cut to 32 bits.
unsigned int freePageCount();
unsigned int totalPageCount();

}  // namespace platform
