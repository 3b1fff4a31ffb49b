#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <vector>

// Lets each test file register its test class, so that one test binary holds
// them all and CTest runs each class as a test of its own.
struct RegisteredTest
{
    const char *name;
    std::function<std::unique_ptr<QObject>()> make;
};

std::vector<RegisteredTest> &registeredTests();

struct TestRegistration
{
    TestRegistration(const char *name, std::function<std::unique_ptr<QObject>()> make)
    {
        registeredTests().push_back({name, std::move(make)});
    }
};

#define WEXEL_REGISTER_TEST(Class) \
    static TestRegistration registration_##Class(#Class, [] { return std::make_unique<Class>(); });
