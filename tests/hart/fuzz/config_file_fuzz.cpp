// libFuzzer target: the bytes of a ".4810" file, loaded as the document and 4810cli load it
// (LoadConfiguration into a model) and then shown as `4810cli show` shows it.
//
// Checked for every input: a file that loads is written back byte for byte as it was read (the first
// 103 bytes; the model only terminates the tag after its eighth character), and a file that does not
// load leaves the model untouched and says why in one or two messages.
#include "hart/config_file.h"
#include "report.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void Die(const char* what) {
    std::fprintf(stderr, "config file fuzz: %s\n", what);
    std::abort();
}

std::FILE* Sink() {
    static std::FILE* sink = std::fopen("/dev/null", "w");
    return sink;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    CTransmitterModel model;
    const CTransmitterModel before = model;
    const ConfigLoadResult result = LoadConfiguration(model, bytes);
    if (!result.ok()) {
        if (!model.DifferentFields(before).empty()) Die("a refused file changed the model");
        if (result.messages.empty() || result.messages.size() > 2) Die("a refused file without its message");
        return 0;
    }
    if (size < kConfigFileSize) Die("a short file loaded");
    const ConfigFileImage again = SerializeConfiguration(result.configuration);
    if (!std::equal(again.begin(), again.end(), data))
        Die("the parsed configuration does not write back as read");

    // The model holds the tag terminated after eight characters: its ninth unit, bytes 24 and 25 of
    // the image (magic, version, then nine UTF-16 units), is zero.
    ConfigFileImage expected = again;
    expected[24] = expected[25] = 0;
    if (SerializeConfiguration(model) != expected) Die("the model does not write back what it loaded");

    std::FILE* out = Sink();
    if (!out) Die("cannot open /dev/null");
    zelhart::cli::PrintBasic(out, model);
    zelhart::cli::PrintAdvanced(out, model);
    zelhart::cli::PrintInformation(out, model);
    zelhart::cli::PrintThermometer(out, model);
    zelhart::cli::PrintIdentity(out, model);
    return 0;
}
