/* Compiled with --coverage -fprofile-update=atomic: the cost of the atomic
 * counter an arc-profiling build puts on every branch of the same loop body. */
int gcov_loop_body(int i) {
  if (i & 1) return 1;
  return 0;
}
