#pragma once

#include <string>

#include <openssl/ssl.h>

#include "CMarketModel.h"
#include "CSimControl.h"
#include "CStopSignal.h"
#include "FaultModes.h"
#include "SimOptions.h"

// What a session thread needs from the server that accepted it.
struct SessionContext {
    int id;
    std::string peer;
    SSL_CTX* tls;
    CMarketModel& model;
    CSimControl& control;
    const SimOptions& options;
    const CStopSignal& stop;
    CFaultSet faults;
};

// Limits that keep a stuck or slow peer from holding a thread for ever.
const int kTlsHandshakeMs = 10000;
const int kRequestHeadMs = 30000;
// Longer than any polling interval plus read time-out a client uses.
const int kKeepAliveIdleMs = 120000;
// How long a stall fault keeps its connection silent at most.
const int kStallLimitMs = 300000;
