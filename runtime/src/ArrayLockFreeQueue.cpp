#include "qelmq/ArrayLockFreeQueue.h"

#include "port.h"

namespace qel_detail {
// Out of line so the queue header stays free of platform services.
void yield_for_publish() { qel_port::yield_thread(); }
void sleep_for_space(unsigned ms) { qel_port::sleep_ms(ms); }
}  // namespace qel_detail
