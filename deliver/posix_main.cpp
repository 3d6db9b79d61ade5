// Process start-up of the delivery program on POSIX: its arguments, as the
// system hands them over, go to the delivery.

#include <string_view>
#include <vector>

#include "delivery.h"

int main(int argc, char** argv) {
  const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0),
                                                argv + argc);
  return DELIVER(arguments);
}
