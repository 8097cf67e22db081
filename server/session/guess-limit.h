// How fast the server lets anyone guess at the shared secret, and how many connections that
// have not proven it may wait at once. Time comes in with each call, so tests drive a clock of
// their own.
#pragma once
#include <chrono>
#include <cstddef>
#include <map>
#include <string>

#include "server/log.h"

using SERVER_CLOCK = std::chrono::steady_clock;
using SERVER_TIME = SERVER_CLOCK::time_point;

// The server's defaults; the tests set small ones.
struct DOOR_LIMITS {
    // Failed proofs one address may make at once, and how often it earns one more.
    unsigned address_burst = 3;
    std::chrono::milliseconds address_every{1000};
    // The same for all addresses together.
    unsigned overall_burst = 10;
    std::chrono::milliseconds overall_every{200};
    // An address without a failed proof for this long has its first proof checked at once
    // even while all addresses together are over their limit, so guessers elsewhere do not
    // keep someone with the right secret out.
    std::chrono::seconds clean_after{60};
    // Addresses remembered; beyond this an unknown address counts as one that failed lately.
    std::size_t addresses_kept = 4096;
    // Connections asked for the proof that have not given it yet, per address and in all.
    std::size_t unproven_per_address = 16;
    std::size_t unproven_overall = 256;
    // How long such a connection may take to prove the secret.
    std::chrono::milliseconds proof_time{5000};
};

// Token buckets of failed proofs: a proof is checked only while its address and all addresses
// together have a failure left, and each failure uses one of each. A right proof uses none.
class GUESS_LIMIT {
public:
    GUESS_LIMIT(const DOOR_LIMITS& limits, SERVER_LOG& log);

    // Whether a proof from address may be checked now; logs (at most once a second) when not.
    bool may_check(const std::string& address, SERVER_TIME now);
    // A proof from address did not hold (overall: it counts for all addresses together too).
    void failed(const std::string& address, SERVER_TIME now, bool overall);

private:
    struct BUCKET {
        SERVER_TIME full_at;  // when every failure so far has been earned back
        SERVER_TIME last_failure;
    };
    static bool allows(const BUCKET& bucket, unsigned burst, SERVER_CLOCK::duration every,
                       SERVER_TIME now);
    static void use(BUCKET* bucket, unsigned burst, SERVER_CLOCK::duration every, SERVER_TIME now);
    BUCKET* address_bucket(const std::string& address, SERVER_TIME now);
    bool clean(const BUCKET* bucket, SERVER_TIME now) const;
    void held(const std::string& address, const char* why, SERVER_TIME now);

    DOOR_LIMITS m_limits;
    SERVER_LOG& m_log;
    BUCKET m_overall;
    std::map<std::string, BUCKET> m_addresses;
    SERVER_TIME m_logged_at;  // the last "proofs wait" line
    bool m_logged = false;
    unsigned m_held_since_log = 0;
};
