#pragma once
// LpcStats: the link's health counters, as a copy handed out by the driver.

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

struct LpcStats {
    size_t droppedBytes = 0;  // octets of received frames discarded for a bad FCS
    size_t successes = 0;     // requests answered on the first transmission
    size_t failures = 0;      // requests that got no answer at all
    size_t retransmitted = 0; // requests answered after a retransmission

    // The counters as two INI sections, [serial] and [packets] with the total.
    std::string toIni() const;
    // {"packets":{"failures","retransmitted","successes","total"},"serial":{"droppedBytes"}}
    nlohmann::json toJson() const;
};
