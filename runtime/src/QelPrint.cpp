// PLACEHOLDER (to be replaced)
#include "qelmq/TextSender.h"
void QelPrint(const char*, char*, int*, int, ...) {}
void QelSendMethodTime(int, int, int) {}
