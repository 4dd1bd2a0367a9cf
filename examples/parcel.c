/*
 * The demo module: decides whether an order ships and what it costs. Built
 * through qelcc, which inserts the probes; the fragile branch forgets its
 * note, a leak the demo leaves in on purpose.
 */
#include "parcel.h"

#include <stdlib.h>
#include <string.h>

static char* make_label(const char* dest) {
  char* label = malloc(strlen(dest) + 8);
  strcpy(label, "TO: ");
  strcat(label, dest);
  return label;
}

int can_ship(int in_stock, int paid, int express) { return in_stock && (paid || express); }

int shipping_cost(int weight, int fragile, int express) {
  int cost = 5 + weight / 2;
  if ((weight > 20 || fragile) && !express) cost += 10;
  if (express) cost *= 2;
  return cost;
}

int ship(const struct order* o) {
  char* label = make_label(o->dest);
  int cost;
  if (!can_ship(o->in_stock, o->paid, o->express)) {
    free(label);
    return -1;
  }
  cost = shipping_cost(o->weight, o->fragile, o->express);
  if (o->fragile) {
    char* note = malloc(32);
    strcpy(note, "handle with care");
  }
  free(label);
  return cost;
}
