/* The probes instrumented code calls, as the instrumenter declares them in
   every unit it rewrites (the unit includes no header of the runtime). One
   list per feature of the instrumenter, each entry X(result, name,
   (parameters)); QEL_PROBE_DECL_TEXT turns an entry into its declaration
   text. The runtime's build compiles these declarations beside its own
   header qelmq/probes.h, so a probe whose signature changes fails the
   build until both agree. Plain C: also read by C compilers. */
#ifndef QELMQ_PROTOCOL_PROBE_DECLS_H
#define QELMQ_PROTOCOL_PROBE_DECLS_H

/* Statement, branch and condition coverage. */
#define QEL_PROBES_COVERAGE(X)                    \
  X(int, QelNode, (int, int, int))                \
  X(int, QelExp, (int, int, int, int*, int, int)) \
  X(int*, QelStringInit, (int*))                  \
  X(int, QelStringAddCond, (int*, int, int))

/* Values of parameters (qelcc --values). */
#define QEL_PROBES_VALUES(X) X(void, QelPrint, (const char*, char*, int*, int, ...))

/* Memory tracking (qelcc --memory). */
#define QEL_PROBES_MEMORY(X)                                  \
  X(void*, QelNew, (unsigned, const char*, const char*, int)) \
  X(void, QelFree, (void*))                                   \
  X(void*, QelRenew, (void*, unsigned, const char*, const char*, int))

/* The exec family, which delivers what was recorded before the process
   image is replaced (routed there by qelcc on POSIX targets). */
#define QEL_PROBES_EXEC(X)                                      \
  X(int, QelExecv, (const char*, char* const*))                 \
  X(int, QelExecve, (const char*, char* const*, char* const*))  \
  X(int, QelExecvp, (const char*, char* const*))                \
  X(int, QelExecvpe, (const char*, char* const*, char* const*)) \
  X(int, QelExecl, (const char*, const char*, ...))             \
  X(int, QelExecle, (const char*, const char*, ...))            \
  X(int, QelExeclp, (const char*, const char*, ...))            \
  X(int, QelFexecve, (int, char* const*, char* const*))

/* " int QelNode(int, int, int);": a blank, then the declaration. */
#define QEL_PROBE_DECL_TEXT(result, name, params) " " #result " " #name #params ";"

/* The declaration itself. */
#define QEL_PROBE_DECL(result, name, params) result name params;

#endif
