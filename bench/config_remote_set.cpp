// Remote set judgement benchmark: Config::admitsRemoteSet, the bound every
// remote set of "config" passes before anything is applied, on a
// configuration at the bounds: a path of about 16 KiB, paths of about
// 256 KiB together, some 700 nodes and a file of about 230 KB. The judged set
// changes one deep leaf. The components are the real TCP service and MQTT
// client adaptors, neither of them started; the file goes to a temporary
// directory that is removed afterwards. Prints the best of several
// judgements; the aim is at most 50 ms. Build with optimisation.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

#include "app/Config.h"
#include "app/ConfigMqttAdaptor.h"
#include "app/TCPConfigAdaptor.h"
#include "app/TCPService.h"
#include "foundation/Log.h"
#include "messaging/Client.h"

namespace {

constexpr int kRuns = 10;

// Three names of 4,000 octets, then 17 leaves: each leaf's path has about
// 12 KiB, the deepest name's child 16 KiB with a fourth name.
nlohmann::json deepMembers(const nlohmann::json& leaf)
{
    nlohmann::json leaves;
    for (int i = 0; i < 17; ++i)
        leaves["leaf" + std::to_string(i)] = leaf;
    leaves[std::string(4000, 'd')] = 0;
    nlohmann::json value = leaves;
    for (char name : {'c', 'b', 'a'})
        value = nlohmann::json{{std::string(4000, name), value}};
    return value;
}

} // namespace

int main()
{
    Log::setLevel(Log::Error);
    const char* const temporary = std::getenv("TMPDIR");
    std::string directory = std::string(temporary != nullptr && *temporary != '\0' ? temporary : "/tmp") +
                            "/bench-config-XXXXXX";
    if (mkdtemp(directory.data()) == nullptr)
        return 1;
    const std::string file = directory + "/lumacore.json";
    {
        auto config = std::make_shared<tavo::Config::Config>(file);
        auto client = std::make_shared<MQTT::Client>("tavo/lumacore", "MQTT");
        auto service = std::make_shared<tavo::Board::TCP::Service>(nullptr, 1414, false);
        config->observerAttach(std::make_shared<tavo::Config::MqttAdaptor>(config, client));
        config->observerAttach(std::make_shared<tavo::Board::TCP::ConfigAdaptor>(config, service));
        nlohmann::json tcp = {{"deep", deepMembers(std::string(300, 'v'))}};
        for (int i = 0; i < 600; ++i)
            tcp["w" + std::to_string(i)] = std::string(300, 'w');
        config->configSet({{"tcp", tcp}});
        const nlohmann::json set = {{"tcp", {{"deep", deepMembers("x")}}}};
        double best = 1e9;
        bool admitted = false;
        for (int run = 0; run < kRuns; ++run) {
            const auto start = std::chrono::steady_clock::now();
            admitted = config->admitsRemoteSet(set, std::strlen("config"));
            const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
            best = std::min(best, took.count());
        }
        std::printf("Remote set judgement at the bounds (%s): %.1f ms (aim: at most 50 ms)\n",
                    admitted ? "admitted" : "refused", best);
    }
    unlink(file.c_str());
    rmdir(directory.c_str());
    return 0;
}
