#include "tests/test_env.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

void VgTestEnv::SetUp() {
    char tmpl[] = "/tmp/vgtest.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    m_pipeDir = m_dir + "/pipes";
    m_registry = m_dir + "/registry.reg";
    std::filesystem::create_directory(m_pipeDir);
    ::setenv("VIGILON_PIPE_DIR", m_pipeDir.c_str(), 1);
    ::setenv("VIGILON_REGISTRY", m_registry.c_str(), 1);
}

void VgTestEnv::TearDown() {
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

void VgTestEnv::WriteRegistry(const std::string& body) {
    // Write a new file and rename it, so that a reader sees a new inode even
    // within one time-stamp tick.
    std::string tmp = m_registry + ".new";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f << "Windows Registry Editor Version 5.00\r\n\r\n" << body;
    }
    std::filesystem::rename(tmp, m_registry);
}

void VgTestEnv::WriteConfiguration(const std::string& valueLines) {
    WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvanetic\\Postern\\Vigilon\\Configuration]\r\n" + valueLines);
}
