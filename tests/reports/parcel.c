/* parcel.c as written, before instrumentation (see examples/parcel.c). */
#include <stdlib.h>
#include <string.h>

#include "parcel.h"

static char* make_label(const char* dest) {
  char* label = malloc(strlen(dest) + 8);
  strcpy(label, "TO: ");
  strcat(label, dest);
  return label;
}

int can_ship(int in_stock, int paid, int express) {
  return in_stock && (paid || express);
}

int shipping_cost(int weight, int fragile, int express) {
  int cost = 5 + weight / 2;
  if ((weight > 20 || fragile) && !express)
    cost += 10;
  if (express)
    cost *= 2;
  return cost;
}

int ship(const struct order* o) {
  char* label = make_label(o->dest);
  if (!can_ship(o->in_stock, o->paid, o->express)) {
    free(label);
    return -1;
  }
  int cost = shipping_cost(o->weight, o->fragile, o->express);
  if (o->fragile) {
    char* note = malloc(32);
    strcpy(note, "handle with care");
  }
  free(label);
  return cost;
}
