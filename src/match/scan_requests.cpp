// Which requests belong to a scan: those made on a thread inside a
// kel_scan_requests scope. Only they give way to kelmcat_cancel.
#include "match/http.h"

namespace {

// Depth of the scopes of this thread.
thread_local int t_scan_requests = 0;

}  // namespace

kel_scan_requests::kel_scan_requests() {
  t_scan_requests++;
}

kel_scan_requests::~kel_scan_requests() {
  t_scan_requests--;
}

bool kel_in_scan_requests(void) {
  return t_scan_requests > 0;
}
