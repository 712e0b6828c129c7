// The stand-in core library's six entry points. CoreInit5 loads the signatures once and starts
// no thread; every instance keeps the engine it was made with, so a later CoreUninit or
// CoreInit5 never pulls signatures from under a running scan.
#include <cstdarg>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "bd/core_contract.h"
#include "standins/avcore/core_instance.h"

namespace {

std::mutex engineMutex;
std::shared_ptr<const ql::avcore::Engine> loadedEngine;  // guarded by engineMutex
int initCount = 0;                                       // guarded by engineMutex

std::string shown(const char *text) {
    return text == nullptr || *text == '\0' ? std::string("\"\"") : std::string(text);
}

ql::avcore::Instance *instanceOf(void *instance) {
    return static_cast<ql::avcore::Instance *>(instance);
}

}  // namespace

extern "C" int CoreInit5(int zero, const char *pluginsDir, const char *libraryPath,
                         const char *tempDir) {
    ql::avcore::recordLine("CoreInit5 " + std::to_string(zero) + " " + shown(pluginsDir) + " " +
                           shown(libraryPath) + " " + shown(tempDir));
    if (ql::avcore::failSwitchHas("init")) {
        return 1;
    }
    ql::standin::SignatureSet signatures;
    if (pluginsDir != nullptr && *pluginsDir != '\0') {
        std::string file = std::string(pluginsDir) + "/signatures.txt";
        signatures = ql::standin::loadSignatureFile(file.c_str(), nullptr);
    }
    auto engine = std::make_shared<const ql::avcore::Engine>(std::move(signatures));
    std::lock_guard lock(engineMutex);
    loadedEngine = std::move(engine);
    ++initCount;
    return 0;
}

extern "C" int CoreUninit(void) {
    std::lock_guard lock(engineMutex);
    if (initCount > 0 && --initCount == 0) {
        loadedEngine.reset();
    }
    return 0;
}

extern "C" void *CoreNewInstance(void) {
    if (ql::avcore::failSwitchHas("instance")) {
        return nullptr;
    }
    std::shared_ptr<const ql::avcore::Engine> engine;
    {
        std::lock_guard lock(engineMutex);
        engine = loadedEngine;
    }
    if (engine == nullptr) {
        return nullptr;
    }
    return new (std::nothrow) ql::avcore::Instance(std::move(engine));
}

extern "C" int CoreDeleteInstance(void *instance) {
    if (instance == nullptr) {
        return 1;
    }
    delete instanceOf(instance);
    return 0;
}

extern "C" int CoreSet(void *instance, int option, ...) {
    if (instance == nullptr) {
        return 1;
    }
    va_list args;
    va_start(args, option);
    int answer = instanceOf(instance)->set(option, args);
    va_end(args);
    return answer;
}

extern "C" int CoreGet(void *instance, int item, void *out) {
    if (instance == nullptr) {
        return 1;
    }
    return instanceOf(instance)->get(item, out);
}
