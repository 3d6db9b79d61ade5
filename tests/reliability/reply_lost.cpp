// A reply lost after the file system acted: loaded with LD_PRELOAD into the
// Linux build, it makes the one call that TALVEN_REPLY_LOST names
// ("unlinkat:3", the third unlinkat of the process, counted as strace counts
// system calls) and, when that call succeeded, reports EIO all the same, as
// a file server does that carried a request out and then lost the
// connection. Every other call passes through untouched. Only the calls that
// change a name are covered: rename, unlink and link in their *at forms,
// which are the only ones the platform layer makes.

#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <string>

namespace {

// The real call of that name, whatever this library puts before it.
template <typename Call>
Call* Real(const char* name) {
  return reinterpret_cast<Call*>(dlsym(RTLD_NEXT, name));
}

// `result` of the nth call of `name`, or EIO where it is the chosen one and
// succeeded.
int Lost(const std::string& name, int result) {
  static std::map<std::string, int> counts;
  const int nth = ++counts[name];
  const char* wanted = std::getenv("TALVEN_REPLY_LOST");
  if (result != 0 || wanted == nullptr ||
      std::string(wanted) != name + ':' + std::to_string(nth))
    return result;
  errno = EIO;
  return -1;
}

}  // namespace

extern "C" {

int renameat2(int from_dir, const char* from, int to_dir, const char* to,
              unsigned int flags) {
  return Lost("renameat2", Real<decltype(renameat2)>("renameat2")(
                               from_dir, from, to_dir, to, flags));
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  return Lost("renameat",
              Real<decltype(renameat)>("renameat")(from_dir, from, to_dir, to));
}

int unlinkat(int dir, const char* path, int flags) {
  return Lost("unlinkat",
              Real<decltype(unlinkat)>("unlinkat")(dir, path, flags));
}

int linkat(int from_dir, const char* from, int to_dir, const char* to,
           int flags) {
  return Lost("linkat", Real<decltype(linkat)>("linkat")(from_dir, from, to_dir,
                                                         to, flags));
}
}
