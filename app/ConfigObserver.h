// What the configuration file asks of each component that has settings:
// take the whole configuration and apply the own section, and report the
// own settings as a one-member object keyed by the section's name.
#pragma once

#include <nlohmann/json.hpp>

namespace tavo::Config {

class Observer {
public:
    virtual ~Observer() = default;

    // Applies the own section of the whole document, if it has one.
    virtual void onConfigSet(const nlohmann::json& config) = 0;
    // The own settings as {section: settings}.
    virtual nlohmann::json onConfigGet() const = 0;
};

} // namespace tavo::Config
