int gate(int a, int b, int c) {
  if (a && (b || c))
    return 1;
  return 0;
}

int never(int x) {
  return x ? 1 : 2;
}
