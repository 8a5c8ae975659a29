// The parts of the simulator's system layer that both halves share, written
// on the primitives each half gives.
#include "os.h"

namespace nvsim::os {

// Sends everything, waiting until the socket takes more whenever it is full.
bool SendAll(Socket socket, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size != 0) {
    const long n = SendSome(socket, bytes, size);
    if (n < 0) return false;
    if (n == 0) {
      WaitWritable(socket, 1000);
      continue;
    }
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace nvsim::os
