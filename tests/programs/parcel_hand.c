/*
 * parcel.c instrumented by hand (examples/parcel.c is the plain source): the
 * collector's end-to-end test checks its exact node and condition numbers.
 *
 * The original module decides whether an order ships and what it costs:
 *
 *   int can_ship(int in_stock, int paid, int express)
 *   {   return in_stock && (paid || express); }
 *
 *   int shipping_cost(int weight, int fragile, int express)
 *   {   int cost = 5 + weight / 2;
 *       if ((weight > 20 || fragile) && !express) cost += 10;
 *       if (express) cost *= 2;
 *       return cost; }
 *
 *   int ship(const struct order* o)
 *   {   char* label = make_label(o->dest);
 *       if (!can_ship(o->in_stock, o->paid, o->express)) { free(label); return -1; }
 *       int cost = shipping_cost(o->weight, o->fragile, o->express);
 *       if (o->fragile) { char* note = malloc(32); strcpy(note, "handle with care"); }
 *       free(label);
 *       return cost; }
 *
 * The fragile branch forgets its note: that is the leak the report shows.
 *
 * Instrumentation, unit 1:
 *   nodes      one QelNode per statement, numbered in source order (1-17);
 *   decisions  D1 in can_ship, D2 and D3 in shipping_cost; each condition is
 *              added to the decision's condition string and reported with its
 *              own condition id, the decision by QelExp with the string;
 *   values     the parameters of every function, one record per call;
 *   memory     malloc/free become QelNew/QelDelete with the source position.
 */
#include "parcel.h"

#include <string.h>

#include "QELMQLib.h"

#define UNIT 1
#define GROUP 1

/* Condition ids: D1 conditions 1-3 and decision 4; D2 conditions 5-7 and
 * decision 8; D3 condition 9 and decision 10. */

/* One atomic condition: into the decision's string at its evaluation index,
 * and reported on its own (no string: no MC/DC record for it). */
static int qel_cond(int* cs, int index, int condId, int value) {
  QelStringAddCond(cs, index, value);
  return QelExp(UNIT, condId, 0, 0, GROUP, value);
}

static char* make_label(const char* dest) {
  char* label;
  QelNode(UNIT, 1, 0);
  label = (char*)QelNew((unsigned)strlen(dest) + 8, "parcel.c", "make_label", __LINE__);
  QelNode(UNIT, 2, 0);
  strcpy(label, "TO: ");
  strcat(label, dest);
  QelNode(UNIT, 3, 0);
  return label;
}

int can_ship(int in_stock, int paid, int express) {
  int qel_cs[2];
  char qel_buf[256];
  int qel_pos = 0;
  QelPrint("can_ship", qel_buf, &qel_pos, QEL_HEADER);
  QelPrint("in_stock", qel_buf, &qel_pos, QEL_INT, in_stock);
  QelPrint("paid", qel_buf, &qel_pos, QEL_INT, paid);
  QelPrint("express", qel_buf, &qel_pos, QEL_INT, express);
  QelPrint("", qel_buf, &qel_pos, QEL_FLUSH);

  QelNode(UNIT, 4, 0);
  QelStringInit(qel_cs);
  return QelExp(UNIT, 4, 1, qel_cs, GROUP,
                qel_cond(qel_cs, 0, 1, in_stock != 0) &&
                    (qel_cond(qel_cs, 1, 2, paid != 0) || qel_cond(qel_cs, 2, 3, express != 0)));
}

int shipping_cost(int weight, int fragile, int express) {
  int qel_cs[2];
  char qel_buf[256];
  int qel_pos = 0;
  int cost;
  QelPrint("shipping_cost", qel_buf, &qel_pos, QEL_HEADER);
  QelPrint("weight", qel_buf, &qel_pos, QEL_INT, weight);
  QelPrint("fragile", qel_buf, &qel_pos, QEL_INT, fragile);
  QelPrint("express", qel_buf, &qel_pos, QEL_INT, express);
  QelPrint("", qel_buf, &qel_pos, QEL_FLUSH);

  QelNode(UNIT, 5, 0);
  cost = 5 + weight / 2;
  QelNode(UNIT, 6, 0);
  QelStringInit(qel_cs);
  if (QelExp(UNIT, 8, 2, qel_cs, GROUP,
             (qel_cond(qel_cs, 0, 5, weight > 20) || qel_cond(qel_cs, 1, 6, fragile != 0)) &&
                 qel_cond(qel_cs, 2, 7, !express))) {
    QelNode(UNIT, 7, 0);
    cost += 10;
  }
  QelNode(UNIT, 8, 0);
  QelStringInit(qel_cs);
  if (QelExp(UNIT, 10, 3, qel_cs, GROUP, qel_cond(qel_cs, 0, 9, express != 0))) {
    QelNode(UNIT, 9, 0);
    cost *= 2;
  }
  QelNode(UNIT, 10, 0);
  return cost;
}

int ship(const struct order* o) {
  char* label;
  int cost;
  QelNode(UNIT, 11, 0);
  label = make_label(o->dest);
  QelNode(UNIT, 12, 0);
  if (!can_ship(o->in_stock, o->paid, o->express)) {
    QelNode(UNIT, 13, 0);
    QelDelete(label);
    return -1;
  }
  QelNode(UNIT, 14, 0);
  cost = shipping_cost(o->weight, o->fragile, o->express);
  QelNode(UNIT, 15, 0);
  if (o->fragile) {
    char* note;
    QelNode(UNIT, 16, 0);
    note = (char*)QelNew(32, "parcel.c", "ship", __LINE__);
    strcpy(note, "handle with care");
  }
  QelNode(UNIT, 17, 0);
  QelDelete(label);
  return cost;
}
