/* A library opened and closed twice. */
int g(int x) { return x > 3 ? x : -x; }
