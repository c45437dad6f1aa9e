// IpmTrace: the TCP/IP sessions' tap for the link trace (Runtime/Trace). The protocols read and
// write their sockets through IpmSessionRead and IpmSessionWrite (declared in IpmPriv.h); while a
// capture is open these cut both byte streams into the units of the session's protocol and write
// one record each: an Oip message, a Multi package or a Terminal line, header included. Bytes the
// receiver skips (an Oip message with an invalid length, a Multi header with a wrong preamble)
// make a record of their own, marked TRACEC_FLAG_NO_FRAME.
#pragma once

#include "Communication/Ipm/IpmPriv.h"

// The session's protocol is removed: what is left of an unfinished unit is written as a
// no-frame record, and the session's cutters start afresh.
void IpmTraceSessionEnded(const IpmSessionData& tSession);
// Forgets every unfinished unit without writing it (test set-up only).
void IpmTraceResetForTest();
