/* The demo module under test: shipping decisions for an order. */
#ifndef PARCEL_H
#define PARCEL_H

#ifdef __cplusplus
extern "C" {
#endif

struct order {
  const char* dest;
  int in_stock;
  int paid;
  int express;
  int weight;
  int fragile;
};

int can_ship(int in_stock, int paid, int express);
int shipping_cost(int weight, int fragile, int express);
/* Cost of shipping the order, or -1 when it cannot ship. */
int ship(const struct order* o);

#ifdef __cplusplus
}
#endif
#endif
