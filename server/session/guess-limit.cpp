// The limit on guesses at the shared secret: token buckets per address and overall.
#include "server/session/guess-limit.h"

// Each bucket is kept as the time at which it would be full again after its failures so far
// (one interval per failure), which needs no rounding: a failure is allowed while that time
// is less than burst intervals ahead of now.
GUESS_LIMIT::GUESS_LIMIT(const DOOR_LIMITS& limits, SERVER_LOG& log)
    : m_limits(limits), m_log(log) {}

bool GUESS_LIMIT::allows(const BUCKET& bucket, unsigned burst, SERVER_CLOCK::duration every,
                         SERVER_TIME now) {
    return bucket.full_at + every <= now + burst * every;
}

void GUESS_LIMIT::use(BUCKET* bucket, unsigned burst, SERVER_CLOCK::duration every,
                      SERVER_TIME now) {
    bucket->full_at = (bucket->full_at > now ? bucket->full_at : now) + every;
    // A failure past the limit does not push the bucket deeper than empty.
    if (bucket->full_at > now + burst * every) bucket->full_at = now + burst * every;
}

// The bucket of an address; null when no more addresses can be remembered.
GUESS_LIMIT::BUCKET* GUESS_LIMIT::address_bucket(const std::string& address, SERVER_TIME now) {
    auto it = m_addresses.find(address);
    if (it != m_addresses.end()) return &it->second;
    if (m_addresses.size() >= m_limits.addresses_kept) {
        // Full buckets of addresses that are clean again tell nothing: forget them.
        for (auto i = m_addresses.begin(); i != m_addresses.end();)
            i = i->second.full_at <= now && clean(&i->second, now) ? m_addresses.erase(i)
                                                                   : std::next(i);
        if (m_addresses.size() >= m_limits.addresses_kept) return nullptr;
    }
    BUCKET fresh;
    fresh.full_at = now;
    fresh.last_failure = now - m_limits.clean_after;
    return &m_addresses.emplace(address, fresh).first->second;
}

bool GUESS_LIMIT::clean(const BUCKET* bucket, SERVER_TIME now) const {
    return now - bucket->last_failure >= m_limits.clean_after;
}

bool GUESS_LIMIT::may_check(const std::string& address, SERVER_TIME now) {
    BUCKET* bucket = address_bucket(address, now);
    if (bucket != nullptr && !allows(*bucket, m_limits.address_burst, m_limits.address_every, now)) {
        held(address, "from this address", now);
        return false;
    }
    if (!allows(m_overall, m_limits.overall_burst, m_limits.overall_every, now) &&
        (bucket == nullptr || !clean(bucket, now))) {
        held(address, "from all addresses together", now);
        return false;
    }
    return true;
}

void GUESS_LIMIT::failed(const std::string& address, SERVER_TIME now, bool overall) {
    if (overall) use(&m_overall, m_limits.overall_burst, m_limits.overall_every, now);
    BUCKET* bucket = address_bucket(address, now);
    if (bucket == nullptr) return;
    use(bucket, m_limits.address_burst, m_limits.address_every, now);
    bucket->last_failure = now;
}

// One line a second at most, however many proofs wait: the log must not become the flood.
void GUESS_LIMIT::held(const std::string& address, const char* why, SERVER_TIME now) {
    ++m_held_since_log;
    if (m_logged && now - m_logged_at < std::chrono::seconds(1)) return;
    m_log.line("%s: proof of the shared secret waits: too many failed proofs %s (%u waited "
               "since the last such line)",
               address.c_str(), why, m_held_since_log);
    m_logged = true;
    m_logged_at = now;
    m_held_since_log = 0;
}
