/* Counters in the program: the registration ABI between a unit that qelcc
   instruments with counters and the runtime.

   Each such unit holds a constant descriptor (struct __qel_unit) of what it
   counts: one counter per node, and per decision one counter per
   evaluation path of its conditions. A constructor registers the unit with
   the runtime (QelCounterRegister), a destructor unregisters it. Counts live
   in blocks of counters, one per thread and unit; a function finds its
   thread's block once, at entry, and then increments counters in it with no
   call into the runtime. The runtime reads the blocks, adds them up and
   sends what changed.

   The declarations below are written into every counted unit as they stand
   (QEL_COUNTERS_DECLARATION_TEXT, the same tokens as the runtime compiles),
   so the unit needs no header; they use only built-in types for that
   reason. Plain C, also read by C++ (the runtime) and by qelcc. */
#ifndef QELMQ_PROTOCOL_COUNTERS_H
#define QELMQ_PROTOCOL_COUNTERS_H

/* Goes up by one whenever the structures or the functions below change; a
   unit built against another version is refused at registration (its
   counts would be misread) and counted through its own storage only. */
#define QEL_COUNTERS_ABI 1

/* The widest decision measured by path counters, in conditions. */
#define QEL_COUNTERS_MAX_CONDITIONS 64
/* The most evaluation paths one decision may have. A decision with more is
   instrumented with the call-per-event probes instead (its map entry says
   "form": "events"). */
#define QEL_COUNTERS_MAX_PATHS 4096

/* Successors of a condition in a decision's evaluation graph, besides the
   index of the next condition evaluated. */
#define QEL_PATH_FALSE 0xFE
#define QEL_PATH_TRUE 0xFF

/* Counters are as wide as a pointer: 64 bits where a 64-bit counter is
   written and read in one access; 32 bits on 32-bit targets, where the
   runtime reads them at least every 100 ms and takes differences modulo
   2^32 (a counter would have to be incremented 2^32 times between two
   reads to be misread).

   __qel_decision: one decision counted by paths.
     decision     its decision id (MC/DC records)
     cond         its condition id (the records of its own outcome)
     conditions   its leaf conditions, in evaluation order (at most
                  QEL_COUNTERS_MAX_CONDITIONS)
     paths        its evaluation paths, each with a counter (at most
                  QEL_COUNTERS_MAX_PATHS)
     first        the block index of its first path counter
     true_node    a node that runs exactly when the decision is true (the
                  first node of the branch it selects), counted by its paths
                  instead of a counter of its own; 0 when none
     false_node   the same for false
     leaf         the condition id of each leaf
     next         per leaf, two bytes: the leaf evaluated next when it is
                  true, and when it is false (a later leaf's index, or
                  QEL_PATH_TRUE / QEL_PATH_FALSE when the decision's value
                  is then known). The path index adds, on each false edge,
                  the number of paths from the true successor
                  (counter_paths.h).
   __qel_unit: what a unit counts; constant.
     abi          QEL_COUNTERS_ABI
     unit, group  the unit id and the group id of its condition records
     identity_low, identity_high  the map identity of the unit (64 bits)
     nodes        node n (1..nodes) counts in block index n - 1, unless a
                  decision counts it (true_node, false_node)
     counters     the size of a block: the nodes', then the decisions'
     decisions    the decisions counted by paths
     decision     their descriptors
   __qel_reg: the unit's registration, in the unit's own storage.
     unit         its descriptor
     shared       counters in the unit's own storage (`counters` of them):
                  where a thread counts that cannot have a block of its own
                  (no memory, or its first call is made inside a signal
                  handler that interrupted the runtime itself)
     slot         the unit's index in the threads' tables; the runtime's
     runtime      the runtime's record of the unit; the runtime's */
#define QEL_COUNTERS_DECLARATIONS                                         \
  typedef __typeof__(sizeof(0)) __qel_ctr;                                \
  struct __qel_decision {                                                 \
    unsigned short decision, cond, conditions, paths;                     \
    unsigned int first;                                                   \
    unsigned short true_node, false_node;                                 \
    const unsigned short* leaf;                                           \
    const unsigned char* next;                                            \
  };                                                                      \
  struct __qel_unit {                                                     \
    unsigned int abi;                                                     \
    unsigned short unit, group;                                           \
    unsigned int identity_low, identity_high, nodes, counters, decisions; \
    const struct __qel_decision* decision;                                \
  };                                                                      \
  struct __qel_reg {                                                      \
    const struct __qel_unit* unit;                                        \
    __qel_ctr* shared;                                                    \
    unsigned int slot;                                                    \
    void* runtime;                                                        \
  };

/* The functions of the runtime a counted unit calls (none of them on its
   hot path but the first call of each thread into each unit):
     QelCounterRegister    from the unit's constructor; idempotent
     QelCounterUnregister  from its destructor (dlclose, exit): what the
                           unit counted so far goes to the senders first
     QelCounterBlock       the calling thread's block of the unit (never
                           null: the shared counters when it cannot have
                           one); `tls` is the unit's own thread-local
                           pointer to the block, which it fills, or null
                           when the unit looks blocks up in the thread's
                           table (__qel_tls)
     QelCounterTable       the calling thread's table (slot -> block), for
                           targets without an exported thread-local
                           variable. */
#define QEL_COUNTER_FUNCTIONS(X)                                   \
  X(void, QelCounterRegister, (struct __qel_reg*))                 \
  X(void, QelCounterUnregister, (struct __qel_reg*))               \
  X(__qel_ctr*, QelCounterBlock, (struct __qel_reg*, __qel_ctr**)) \
  X(__qel_ctr**, QelCounterTable, (void))

/* The thread's table of blocks, indexed by slot (null before the thread's
   first block, and entries without a block null). Exported by the runtime
   with the initial-exec model: one load from the thread pointer. Not on
   Windows, where a DLL exports no thread-local variable: units call
   QelCounterTable there. */
#define QEL_COUNTER_TABLE_DECLARATION \
  extern __thread __qel_ctr** __qel_tls __attribute__((tls_model("initial-exec")));
/* The table's size: slots are 1 to QEL_COUNTER_SLOTS - 1 (0 is never a
   block, so a unit that could not have a slot always asks the runtime). */
#define QEL_COUNTER_SLOTS 16384

#ifdef __cplusplus
/* The declarations as text, as qelcc (C++) writes them. */
#define QEL_COUNTERS_STRINGIZE_(...) #__VA_ARGS__
#define QEL_COUNTERS_STRINGIZE(...) QEL_COUNTERS_STRINGIZE_(__VA_ARGS__)
#define QEL_COUNTERS_DECLARATION_TEXT QEL_COUNTERS_STRINGIZE(QEL_COUNTERS_DECLARATIONS)
#define QEL_COUNTER_TABLE_DECLARATION_TEXT QEL_COUNTERS_STRINGIZE(QEL_COUNTER_TABLE_DECLARATION)
#endif

#endif
