// A scratch directory for one test, removed with everything in it when the test ends.
#ifndef ZENTRIX_TESTS_SUPPORT_TEMPDIR_H
#define ZENTRIX_TESTS_SUPPORT_TEMPDIR_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>

namespace zentrix::testing {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zentrix-test-XXXXXX");
        if (mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }

    std::filesystem::path Write(const std::string& name, const std::string& bytes) const {
        const auto file = m_path / name;
        std::ofstream out(file, std::ios::binary);
        out << bytes;
        return file;
    }

private:
    std::filesystem::path m_path;
};

// Sets an environment variable for the lifetime of the object and restores the old value after.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : m_name(name) {
        if (const char* old = std::getenv(name)) {
            m_old = old;
        }
        Apply(value);
    }
    ~ScopedEnv() { Apply(m_old); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void Apply(const std::optional<std::string>& value) {
        if (value) {
            setenv(m_name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(m_name.c_str());
        }
    }

    std::string m_name;
    std::optional<std::string> m_old;
};

// Points the plug-in's registry store at a file of the test's own with the given content.
class TempRegistry {
public:
    explicit TempRegistry(const std::string& content)
        : m_file(m_dir.Write("registry.reg", content)),
          m_env("ZENTRIX_REGISTRY", m_file.string()) {}

    static std::string WithLickometerFrequency(const std::string& valueText) {
        return "Windows Registry Editor Version 5.00\r\n\r\n"
               "[HKEY_CURRENT_USER\\Software\\Tamsel Information Technology\\Common\\Zentrix]\r\n"
               "\"LickometerFrequency\"=" +
               valueText + "\r\n";
    }

private:
    TempDir m_dir;
    std::filesystem::path m_file;
    ScopedEnv m_env;
};

}  // namespace zentrix::testing

#endif
