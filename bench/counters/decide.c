/* The decision of the tight-loop benchmark, in a unit of its own as a
   function under test is. */
int decide(int a, int b, int c);

int decide(int a, int b, int c) {
  if (a && (b || c)) return 1;
  return 0;
}
