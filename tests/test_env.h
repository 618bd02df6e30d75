// Test fixture: a private pipe folder and registry file for each test.
#pragma once

#include <gtest/gtest.h>

#include <string>

class VgTestEnv : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the registry file: the header line, then body.
    void WriteRegistry(const std::string& body);
    // Writes the configuration key with these value lines.
    void WriteConfiguration(const std::string& valueLines);

    std::string m_dir;
    std::string m_pipeDir;
    std::string m_registry;
};
