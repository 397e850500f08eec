#include "BenchCell.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace bench {

BenchCell::BenchCell() : m_root("tqci-bench-"), m_tqdir(programDirectory() + "/tqdir") {
    const char* postgres = std::getenv("TQ_BENCH_POSTGRES");
    if (postgres != nullptr) m_postgres = postgres;
    ::setenv("TQ_DIRECTORY_DB", (root() + "/directory.db").c_str(), 1);
    ::setenv("TQ_LOG_DIR", logFolder().c_str(), 1);
    tqdir({"init"});
    tqdir({"add-cell", std::to_string(kCellId), std::to_string(kCellNumber)});
}

void BenchCell::addCloud(int cloudId, int serverClientId, const std::string& host) {
    tqdir({"add-client", std::to_string(serverClientId), std::to_string(kCellId), host});
    tqdir({"add-cloud", std::to_string(cloudId), "cloud-" + std::to_string(cloudId)});
    tqdir({"add-cloud-member", std::to_string(cloudId), std::to_string(serverClientId), "1"});
}

void BenchCell::addIndexedClient(int clientId, const std::vector<int>& cloudIds) {
    const std::string id = std::to_string(clientId);
    tqdir({"add-client", id, std::to_string(kCellId), "fileserver-" + id + ".example"});
    std::vector<std::string> mapping = {"map-client-engines", id, std::to_string(kAppType)};
    for (int cloud : cloudIds) mapping.push_back(std::to_string(cloud));
    tqdir(mapping);
}

void BenchCell::truncateLogs() const {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(logFolder(), ignored)) {
        if (entry.is_regular_file(ignored)) std::filesystem::resize_file(entry.path(), 0, ignored);
    }
}

void BenchCell::tqdir(const std::vector<std::string>& arguments) const {
    std::vector<std::string> command = {m_tqdir};
    command.insert(command.end(), arguments.begin(), arguments.end());
    runProgram(command);
    if (m_postgres.empty()) return;
    command.insert(command.begin() + 1, {"--db", m_postgres});
    runProgram(command);
}

}  // namespace bench
