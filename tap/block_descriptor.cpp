#include "tap/block_descriptor.h"

namespace quornax {

block_descriptor descriptor;

}  // namespace quornax
