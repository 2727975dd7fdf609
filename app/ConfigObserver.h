// What the configuration file asks of each component that has settings:
// take the whole configuration and apply the own section, report the own
// settings as a one-member object keyed by the section's name, and tell
// beforehand what a configuration would leave, so that remote sets are
// judged by what they really store.
#pragma once

#include <nlohmann/json.hpp>

namespace tavo::Config {

class Observer {
public:
    virtual ~Observer() = default;

    // Applies the own section of the whole document, if it has one.
    virtual void onConfigSet(const nlohmann::json& config) = 0;
    // True when a set applies this observer only after every other one has
    // applied its section without an exception: for a section that must not
    // move when the set fails (the MQTT connection the requester is told on).
    virtual bool appliedLast() const { return false; }
    // The own settings as {section: settings}.
    virtual nlohmann::json onConfigGet() const = 0;
    // What onConfigGet would report after onConfigSet(config), computed by
    // the same code on a copy, without applying, logging or warning
    // anything. Where onConfigSet would throw, what it leaves by then.
    virtual nlohmann::json onConfigPreview(const nlohmann::json& config) const = 0;
    // onConfigGet, with every setting that onConfigPreview(config) counts
    // wider than it may really end (one that may change between the preview
    // and the set) counted so here too, so that a set that changes nothing
    // is never judged to grow the file.
    virtual nlohmann::json onConfigPreviewNow([[maybe_unused]] const nlohmann::json& config) const
    {
        return onConfigGet();
    }
};

} // namespace tavo::Config
