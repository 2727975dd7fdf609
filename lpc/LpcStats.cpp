#include "lpc/LpcStats.h"

#include "foundation/String.h"

std::string LpcStats::toIni() const
{
    return String::format("\n[serial]\ndroppedBytes = %zu\n\n[packets]\nsuccesses = %zu\nfailures = %zu\n"
                          "retransmitted = %zu\ntotal = %zu\n",
                          droppedBytes, successes, failures, retransmitted,
                          successes + failures + retransmitted);
}

nlohmann::json LpcStats::toJson() const
{
    nlohmann::json json;
    json["serial"]["droppedBytes"] = droppedBytes;
    json["packets"]["successes"] = successes;
    json["packets"]["failures"] = failures;
    json["packets"]["retransmitted"] = retransmitted;
    json["packets"]["total"] = successes + failures + retransmitted;
    return json;
}
