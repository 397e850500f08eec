// A scratch folder for one test: made fresh under $TMPDIR (or /tmp) with a
// unique name, so that suites run at once on one machine never meet, and
// removed with everything in it when the test ends.
#pragma once

#include <string>

namespace tqtest {

class TemporaryFolder {
public:
    // `prefix` starts the folder's name ("<prefix>-XXXXXX"); throws
    // std::runtime_error when no folder can be made.
    explicit TemporaryFolder(const std::string& prefix = "tq-test");
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::string& path() const { return m_path; }
    // The path of `name` inside the folder.
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// The whole content of `file`; empty when it cannot be read.
std::string readFile(const std::string& file);

}  // namespace tqtest
