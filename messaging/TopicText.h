#pragma once
// What a topic may hold so that MQTT can carry it. The length field of a
// topic has 16 bits, the protocol asks for well-formed UTF-8, and the broker
// drops a client whose topic holds a control character or a noncharacter:
// such a topic must never reach the library, nor a member that would make
// one become a tree node.
//
// Pure functions; any thread may call them.

#include <cstddef>
#include <string>

namespace MQTT {

// The most octets the length field of a topic can count.
constexpr size_t kMaxTopicOctets = 65535;

// The longest topic root: the longest topic the client subscribes is the
// root, a separator, a node path (LambdaTree::kMaxNodePath) and
// "/set/request/+/+".
extern const size_t kMaxBaseOctets;

// The longest root a remote set may give. The deepest topic the client
// subscribes is the root, "config", kMaxJsonNesting levels of nodes and
// "set/request/+/+": 32 root levels keep it at 101, within what brokers take
// (mosquitto refuses more than 201 levels, others fewer; 128 is a common
// default). Each of a node's six subscriptions carries the root, so 256
// octets keep a full refresh of the "config" mirror to about 2.9 MB of
// topics (see LambdaTree::kMaxMirrorPaths).
constexpr size_t kMaxSetBaseLevels = 32;
constexpr size_t kMaxSetBaseOctets = 256;

// True when text is well-formed UTF-8 without a code point a topic may not
// hold: U+0000-001F, U+007F-009F, U+FDD0-FDEF and the last two of every
// plane (U+xFFFE, U+xFFFF).
bool carriesCodePoints(const std::string& text);

// True when topic may go to the library: at most kMaxTopicOctets octets,
// its code points as above and, for a publication, no wildcard "#" or "+".
bool isCarriableTopic(const std::string& topic, bool publication);

// True when every topic the client builds under base can be carried: at
// most kMaxBaseOctets octets, its code points as above and no wildcard. The
// empty base is carriable.
bool isCarriableBase(const std::string& base);

// True when a remote set may move the root to base: carriable, not
// beginning with "$" (the broker's topics), and within kMaxSetBaseOctets
// octets and kMaxSetBaseLevels levels, counted as the root stands in the
// topics built on it (Utils::combinePath): a final "/" adds none.
bool isSettableBase(const std::string& base);

} // namespace MQTT
