#include "tests/support/bd_fixture.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

namespace ql::test {

namespace {

constexpr const char *kRecordVariable = "QL_AVCORE_RECORD";
constexpr const char *kFailVariable = "QL_AVCORE_FAIL";

int collect(const char *object, int32_t kind, int32_t event, const char *infection,
            const char * /*message*/, void *userData) {
    auto *reports = static_cast<Reports *>(userData);
    reports->all.push_back(
        {object != nullptr ? object : "", kind, event, infection != nullptr ? infection : ""});
    return reports->answer;
}

void putOctal(std::string &block, std::size_t at, std::size_t width, unsigned long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*lo", static_cast<int>(width - 1), value);
    block.replace(at, width - 1, text, width - 1);
}

std::string tarHeader(const std::string &name, std::size_t size, char typeflag) {
    std::string block(512, '\0');
    block.replace(0, name.size(), name);
    putOctal(block, 100, 8, 0644);
    putOctal(block, 108, 8, 0);
    putOctal(block, 116, 8, 0);
    putOctal(block, 124, 12, size);
    putOctal(block, 136, 12, 0);
    block[156] = typeflag;
    block.replace(257, 6, "ustar", 6);
    block.replace(263, 2, "00");
    block.replace(148, 8, 8, ' ');
    unsigned long sum = 0;
    for (unsigned char byte : block) {
        sum += byte;
    }
    putOctal(block, 148, 7, sum);
    return block;
}

}  // namespace

CoreRoot::CoreRoot() {
    std::filesystem::create_directories(pluginsDir());
    root_.writeFixed("/opt/Quellar/etc/qorn.conf",
                     "[path]\nBasesPath = " + root_.path("/opt/Quellar/bases") +
                         "\nTempPath = " + tempDir() + "\n");
    unsetenv(kRecordVariable);
    unsetenv(kFailVariable);
}

CoreRoot::~CoreRoot() {
    unsetenv(kRecordVariable);
    unsetenv(kFailVariable);
}

void CoreRoot::writeSignatures(std::string_view lines) const {
    writeFile(pluginsDir() + "/signatures.txt", lines);
}

std::string CoreRoot::writeSample(const std::string &name, std::string_view content) const {
    std::string path = root_.root() + "/" + name;
    writeFile(path, content);
    return path;
}

void CoreRoot::startRecording() const {
    setenv(kRecordVariable, root_.path("/core.record").c_str(), 1);
}

std::vector<std::string> CoreRoot::recorded() const {
    std::vector<std::string> lines;
    std::istringstream text(readFile(root_.path("/core.record")));
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    return lines;
}

void CoreRoot::failCore(const char *switches) {
    if (switches == nullptr || *switches == '\0') {
        unsetenv(kFailVariable);
    } else {
        setenv(kFailVariable, switches, 1);
    }
}

std::string tarEntry(const std::string &name, std::string_view content, char typeflag) {
    std::string entry = tarHeader(name, content.size(), typeflag);
    entry += content;
    entry.append((512 - content.size() % 512) % 512, '\0');
    return entry;
}

std::string tarOf(const std::vector<std::pair<std::string, std::string>> &members) {
    std::string archive;
    for (const auto &[name, content] : members) {
        archive += tarEntry(name, content);
    }
    archive.append(1024, '\0');
    return archive;
}

EventCallback Reports::callback() {
    return EventCallback{collect, this};
}

}  // namespace ql::test
