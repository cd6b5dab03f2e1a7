#pragma once

#include <string>

// Which listener a connection came in on.
enum SessionKind {
    kRestSession = 1,
    kStreamSession = 2,
};

enum FaultMode {
    kFaultReset,
    kFaultStallAccept,
    kFaultStallBody,
    kFaultTrickle,
    kFaultClose,
    kFaultNoConnection,
    kFaultDrop,
    kFaultEof,
    kFaultChunked,
    kFaultBadStatus,
    kFaultMixedCase,
    kFaultOversize,
    kFaultSmall,
    kFaultLen64,
    kFaultFragment,
    kFaultMasked,
    kFaultPing,
    kFaultCloseFrame,
    kFaultNoUpgrade,
    kFaultCount
};

struct FaultModeInfo {
    FaultMode mode;
    const char* name;
    int kinds;  // SessionKind bits this mode applies to
    long defaultArg;
    const char* help;
};

// One row per mode, in the order --help lists them.
extern const FaultModeInfo kFaultModes[kFaultCount];

// The faults one connection plays out: each mode on or off, with its number.
class CFaultSet {
public:
    bool Has(FaultMode mode) const { return on[mode]; }
    long Arg(FaultMode mode) const { return arg[mode]; }
    bool Empty() const;
    void Set(FaultMode mode, long value);
    std::string ToString() const;

private:
    bool on[kFaultCount] = {};
    long arg[kFaultCount] = {};
};

// list := "none" | mode ("," mode)*      mode := name ["=" number]
// Modes that do not apply to kind are refused, so a typo or a stream-only
// mode on the REST listener is an error, not a silent no-op.
bool ParseFaultList(const std::string& text, SessionKind kind, CFaultSet& faultsOut, std::string& errorOut);
