// Installation, removal and the last-error text against the recording fake.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_service_fake.h"

namespace {

const std::string services = "SYSTEM\\CurrentControlSet\\Services\\";
const std::string service_key = services + "vantry_remote";
const std::string parameters_key = service_key + "\\Parameters";
const std::string event_key = services + "EventLog\\Application\\vantry_remote";

struct argv_holder {
    std::vector<std::string> words;
    std::vector<char*> argv;
    explicit argv_holder(std::vector<std::string> w) : words(std::move(w))
    {
        for (auto& s : words)
            argv.push_back(s.data());
        argv.push_back(nullptr);
    }
    void install() { install_service(static_cast<int>(words.size()), argv.data()); }
};

std::string text_value(const std::string& key, const char* name)
{
    const fake_value& v = fake.registry[key][name];
    EXPECT_EQ(v.type, win::reg_sz) << name;
    // Written with the terminator counted.
    EXPECT_TRUE(!v.bytes.empty() && v.bytes.back() == '\0') << name;
    return v.bytes.empty() ? std::string() : v.bytes.substr(0, v.bytes.size() - 1);
}

const char* const example_stored =
    "vantry_remote\t/c\tmy_Strael\t-i\t0\t-n\t192.168.0.1:2055\t--key=mango";

argv_holder example()
{
    return argv_holder(
        {"vantry_remote", "/i", "my_Strael", "-i", "0", "-n", "192.168.0.1:2055", "--key=mango"});
}

const char* const only_system_and_administrators = "D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)";

}  // namespace

TEST(InstallService, CreatesTheServiceAndWritesEveryValue)
{
    fake_service_scope scope;
    argv_holder a = example();
    a.install();

    EXPECT_EQ(fake.out, "vantry_remote installed.\n");
    ASSERT_EQ(fake.created.size(), 1u);
    const fake_create& c = fake.created[0];
    EXPECT_EQ(c.service_name, "vantry_remote");
    EXPECT_EQ(c.display_name, "vantry_remote for Windows");
    EXPECT_EQ(c.desired_access, 0xF01FFu);
    EXPECT_EQ(c.service_type, 0x10u);
    EXPECT_EQ(c.start_type, 2u);
    EXPECT_EQ(c.error_control, 1u);
    EXPECT_EQ(c.binary_path, "C:\\Tap\\vantry_remote.exe");
    EXPECT_TRUE(c.group_null);
    EXPECT_TRUE(c.dependencies_empty);
    EXPECT_TRUE(c.account_null);
    EXPECT_TRUE(c.password_null);

    EXPECT_EQ(std::string(a.argv[1]), "/c");
    // Every user may read the description; only the service the options.
    EXPECT_EQ(fake.descriptions,
              std::vector<std::string>{"vantry_remote\t/c\tmy_Strael\t-i\t0\t-n\t192.168.0.1:2055"
                                       "\t--key=********"});
    EXPECT_EQ(text_value(service_key, "Description"), "vantry_remote for Windows");
    EXPECT_EQ(text_value(parameters_key, "AppParameters"), example_stored);
    // Restricted while still empty.
    ASSERT_EQ(fake.secured.size(), 1u);
    EXPECT_EQ(fake.secured[0].path, parameters_key);
    EXPECT_EQ(fake.secured[0].sddl, only_system_and_administrators);
    EXPECT_EQ(fake.secured[0].values_then, 0u);
    EXPECT_EQ(text_value(event_key, "EventMessageFile"), "C:\\Tap\\vantry_remote.exe");
    const fake_value& types = fake.registry[event_key]["TypesSupported"];
    EXPECT_EQ(types.type, win::reg_dword);
    EXPECT_EQ(types.bytes, std::string("\4\0\0\0", 4));

    ASSERT_EQ(fake.creates.size(), 2u);
    EXPECT_EQ(fake.creates[0].path, event_key);
    EXPECT_EQ(fake.creates[1].path, parameters_key);
    for (const fake_key_create& k : fake.creates) {
        EXPECT_EQ(k.key_class, "LocalSystem");
        EXPECT_EQ(k.options, 0u);
        EXPECT_EQ(k.access, 0xF003Fu);
    }
    for (const auto& [path, access] : fake.opens)
        EXPECT_EQ(access, 0x20006u) << path;
    EXPECT_EQ(fake.open_keys, 0);
    EXPECT_EQ(fake.sc_handles_open, 0);
}

TEST(InstallService, OnlySlashIStoresTwoFields)
{
    fake_service_scope scope;
    argv_holder a({"C:\\Tap\\vantry_remote.exe", "/I"});
    a.install();
    EXPECT_EQ(text_value(parameters_key, "AppParameters"), "C:\\Tap\\vantry_remote.exe\t/c");
}

TEST(InstallService, PathWithBlanksIsQuotedForTheServiceManagerOnly)
{
    fake_service_scope scope;
    fake.module_path = "C:\\Program Files\\Tap\\vantry_remote.exe";
    argv_holder a({"vantry_remote", "/i"});
    a.install();
    ASSERT_EQ(fake.created.size(), 1u);
    EXPECT_EQ(fake.created[0].binary_path, "\"C:\\Program Files\\Tap\\vantry_remote.exe\"");
    EXPECT_EQ(text_value(event_key, "EventMessageFile"), "C:\\Program Files\\Tap\\vantry_remote.exe");
}

TEST(InstallService, ArgumentsTooLongInstallNothing)
{
    fake_service_scope scope;
    // "vantry_remote" TAB "/c" TAB x...: 13 + 1 + 2 + 1 + n characters.
    argv_holder fits({"vantry_remote", "/i", std::string(8191 - 17, 'x')});
    fits.install();
    EXPECT_EQ(text_value(parameters_key, "AppParameters").size(), 8191u);

    fake = fake_os_state{};
    argv_holder too_long({"vantry_remote", "/i", std::string(8192 - 17, 'x')});
    too_long.install();
    EXPECT_EQ(fake.out, "Arguments too long: 8192 characters, at most 8191\n"
                        "vantry_remote not installed.\n");
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_TRUE(fake.registry.empty());
}

TEST(InstallService, StopsWhereNothingExistsYet)
{
    struct step {
        const char* name;
        std::function<void()> arrange;
        const char* out;
    };
    const std::vector<step> steps = {
        {"own path", [] { fake.module_path_error = 5; },
         "Unable to install vantry_remote - Access is denied. (0x5)\n"},
        {"own path cut", [] { fake.module_path_fills_buffer = true; },
         "Unable to install vantry_remote - \n"},
        {"service manager", [] { fake.scm_open_error = 5; },
         "OpenSCManager failed - Access is denied. (0x5)\n"},
        {"service exists", [] { fake.service_exists = true; },
         "CreateService vantry_remote failed - The specified service already exists. (0x431)\n"},
    };
    for (const step& s : steps) {
        SCOPED_TRACE(s.name);
        fake_service_scope scope;
        s.arrange();
        example().install();
        EXPECT_EQ(fake.out, s.out);
        EXPECT_TRUE(fake.creates.empty());
        EXPECT_TRUE(fake.opens.empty());
        EXPECT_EQ(fake.sc_handles_open, 0);
        EXPECT_EQ(fake.messages_outstanding, 0);
    }
}

TEST(InstallService, EachRegistryFailureIsReportedAndTheNextStepTried)
{
    struct step {
        const char* name;
        std::function<void()> arrange;
        const char* out;
        std::vector<std::string> written;  // "key|value" expected afterwards
    };
    const std::vector<step> steps = {
        {"description", [] { fake.failing_opens.insert(service_key); },
         "Unable to set service description.\nvantry_remote for Windows"
         "SYSTEM\\CurrentControlSet\\Services\\vantry_remote",
         {event_key + "|EventMessageFile", event_key + "|TypesSupported",
          parameters_key + "|AppParameters"}},
        {"description value", [] { fake.failing_sets.insert(service_key + "|Description"); },
         "Unable to set service description.\nvantry_remote for Windows"
         "SYSTEM\\CurrentControlSet\\Services\\vantry_remote",
         {parameters_key + "|AppParameters"}},
        {"event-log key", [] { fake.failing_creates.insert(event_key); },
         "The EventLog subkey could not be created.\n"
         "The Message File value could not be assigned.\n"
         "The Types Supported value could not be assigned.\n",
         {service_key + "|Description", parameters_key + "|AppParameters"}},
        {"message file", [] { fake.failing_sets.insert(event_key + "|EventMessageFile"); },
         "The Message File value could not be assigned.\n",
         {event_key + "|TypesSupported", parameters_key + "|AppParameters"}},
        {"types", [] { fake.failing_sets.insert(event_key + "|TypesSupported"); },
         "The Types Supported value could not be assigned.\n",
         {event_key + "|EventMessageFile", parameters_key + "|AppParameters"}},
        {"parameters key", [] { fake.failing_creates.insert(parameters_key); },
         "Could not create Parameters subkey.\n",
         {service_key + "|Description", event_key + "|TypesSupported"}},
        {"parameters value", [] { fake.failing_sets.insert(parameters_key + "|AppParameters"); },
         "Could not save AppParameters value.\n",
         {service_key + "|Description", event_key + "|TypesSupported"}},
    };
    for (const step& s : steps) {
        SCOPED_TRACE(s.name);
        fake_service_scope scope;
        s.arrange();
        example().install();
        EXPECT_EQ(fake.out, std::string("vantry_remote installed.\n") + s.out);
        for (const std::string& kv : s.written) {
            auto bar = kv.find('|');
            EXPECT_EQ(fake.registry[kv.substr(0, bar)].count(kv.substr(bar + 1)), 1u) << kv;
        }
        EXPECT_EQ(fake.open_keys, 0);
        EXPECT_EQ(fake.sc_handles_open, 0);
    }
}

TEST(InstallService, ParametersKeyThatCannotBeRestrictedKeepsNoOptions)
{
    fake_service_scope scope;
    fake.registry[parameters_key]["AppParameters"] = {win::reg_sz, "old\t-k\tlime"};
    fake.security_error = 5;
    example().install();
    EXPECT_EQ(fake.out, "vantry_remote installed.\n"
                        "Could not restrict access to the Parameters subkey (error 0x5).\n"
                        "The options were not saved, as every user could read the key in them: "
                        "remove the service and install it again.\n");
    EXPECT_EQ(fake.registry.count(parameters_key), 0u);
    EXPECT_EQ(text_value(service_key, "Description"), "vantry_remote for Windows");
    EXPECT_EQ(fake.open_keys, 0);
    EXPECT_EQ(fake.sc_handles_open, 0);
}

TEST(RemoveService, StoppedServiceIsRemovedWithItsEventSource)
{
    fake_service_scope scope;
    example().install();
    fake.out.clear();
    remove_service();
    EXPECT_EQ(fake.out, "vantry_remote removed.\n");
    EXPECT_EQ(fake.deleted_keys, std::vector<std::string>{event_key});
    EXPECT_FALSE(fake.service_exists);
    EXPECT_TRUE(fake.sleeps.empty());
    EXPECT_EQ(fake.sc_handles_open, 0);
}

TEST(RemoveService, RunningServiceIsStoppedFirst)
{
    struct stop_case {
        const char* name;
        std::vector<std::uint32_t> states;
        bool query_fails;
        const char* out;
        std::size_t sleeps;
    };
    const std::vector<stop_case> cases = {
        {"stops", {3, 3, 1}, false,
         "Stopping vantry_remote...\nvantry_remote stopped.\nvantry_remote removed.\n", 3},
        {"stops at once", {1}, false,
         "Stopping vantry_remote.\nvantry_remote stopped.\nvantry_remote removed.\n", 1},
        {"keeps running", {3, 4}, false,
         "Stopping vantry_remote..\nvantry_remote failed to stop.\nvantry_remote removed.\n", 2},
        {"query fails", {}, true,
         "Stopping vantry_remote.\nvantry_remote failed to stop.\nvantry_remote removed.\n", 1},
    };
    for (const stop_case& c : cases) {
        SCOPED_TRACE(c.name);
        fake_service_scope scope;
        fake.service_exists = true;
        fake.service_running = true;
        fake.query_states = c.states;
        fake.query_fails = c.query_fails;
        remove_service();
        EXPECT_EQ(fake.out, c.out);
        EXPECT_EQ(fake.sleeps, std::vector<std::uint32_t>(c.sleeps, 1000));
        EXPECT_EQ(fake.sc_handles_open, 0);
    }
}

TEST(RemoveService, FailuresAreReported)
{
    {
        fake_service_scope scope;
        remove_service();
        EXPECT_EQ(fake.out, "OpenService vantry_remote failed - The specified service does not "
                            "exist as an installed service. (0x424)\n");
        EXPECT_TRUE(fake.deleted_keys.empty());
        EXPECT_EQ(fake.sc_handles_open, 0);
    }
    {
        fake_service_scope scope;
        fake.scm_open_error = 5;
        remove_service();
        EXPECT_EQ(fake.out, "OpenSCManager failed - Access is denied. (0x5)\n");
    }
    fake_service_scope scope;
    fake.service_exists = true;
    fake.delete_fails = true;
    fake.registry[event_key];
    remove_service();
    EXPECT_EQ(fake.out, "DeleteService failed - Access is denied. (0x5)\n");
    EXPECT_TRUE(fake.deleted_keys.empty());
    EXPECT_EQ(fake.sc_handles_open, 0);
}

TEST(LastErrorText, SystemTextWithCodeOrNothing)
{
    fake_service_scope scope;
    fake.error = 5;
    EXPECT_STREQ(last_error_text(), "Access is denied. (0x5)");

    // n + 14 <= 256: a text of 242 characters, line end included, fits.
    fake.error = 0x1234;
    fake.messages[0x1234] = std::string(240, 'm') + "\r\n";
    EXPECT_EQ(std::string(last_error_text()), std::string(240, 'm') + " (0x1234)");
    fake.messages[0x1234] = std::string(241, 'm') + "\r\n";
    EXPECT_STREQ(last_error_text(), "");

    fake.error = 0xdead;  // no system text
    EXPECT_STREQ(last_error_text(), "");
    EXPECT_EQ(fake.messages_outstanding, 0);
}
