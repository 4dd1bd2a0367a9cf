/* Probe runtime: the calls that instrumented code makes. */
#ifndef QELMQLIB_H
#define QELMQLIB_H

/* The plain probes, one declaration for C and C++. */
#include "qelmq/probes.h"

#ifdef __cplusplus
/* The classes and globals C++ code reaches as well. */
#include "qelmq/QelSendCond.h"
#include "qelmq/QelSendDD.h"
#include "qelmq/QelSendLast.h"
#include "qelmq/QelSendMCDC.h"
#include "qelmq/QelSendProperty.h"
#include "qelmq/QelSendUniTest.h"
#include "qelmq/TextSender.h"
#include "qelmq/leak.h"
#include "qelmq/thread_exit.h"
#endif

#endif
