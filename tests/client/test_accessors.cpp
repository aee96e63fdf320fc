// Result accessors: the gate, request state, document checks and the delivery forms, for
// single-device and many-device modules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client_test_util.h"
#include "core/xml_global.h"
#include "core/xml_module.h"
#include "error_codes.h"
#include "support.h"

namespace {

class AccessorTest : public LibraryTest {
protected:
    int fetched_values(const std::string &body) {
        device_ = std::make_unique<qvtest::device>(body, kSetupDoc, std::vector<std::string>{});
        const int id = open_running(device_->port());
        EXPECT_EQ(qvxml_get_values(id), 0);
        EXPECT_EQ(qvxml_wait_finish(id, 2, 10), 0);
        return id;
    }
    std::unique_ptr<qvtest::device> device_;
};

}  // namespace

TEST_F(AccessorTest, BeforeAnyRequestTheDocumentIsNotFinished) {
    const int id = open_running(80);
    char *text = nullptr;
    int length = -1;
    EXPECT_EQ(qvxml_get_values_xml(id, &text, &length), -1);
    EXPECT_EQ(fault_code(id), 1);
    EXPECT_EQ(qvxml_get_setup_to_file(id, "/nonexistent/x"), -1);
    EXPECT_EQ(fault_code(id), 1);
}

TEST_F(AccessorTest, WhileTheRequestRunsTheDocumentIsNotFinished) {
    qvtest::device slow(kValuesDoc, kSetupDoc, {"--delay", "1500"});
    const int id = open_running(slow.port());
    ASSERT_EQ(qvxml_get_values(id), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    char *text = nullptr;
    int length = -1;
    EXPECT_EQ(qvxml_get_values_xml(id, &text, &length), -1);
    EXPECT_EQ(fault_code(id), 1);
    ASSERT_EQ(qvxml_wait_finish(id, 2, 10), 0);
    EXPECT_EQ(qvxml_get_values_xml(id, &text, &length), 0);
}

TEST_F(AccessorTest, DeliveryFormsAgreeOnAFetchedDocument) {
    const int id = fetched_values(kValuesDoc);
    char *text = nullptr;
    int length = 0;
    ASSERT_EQ(qvxml_get_values_xml(id, &text, &length), 0);
    EXPECT_EQ(length, static_cast<int>(kValuesDoc.size()));
    // The prefixed root was rewritten in the kept text.
    EXPECT_NE(std::string(text).find("<Root>"), std::string::npos);

    std::vector<char> copy(QVXML_BUFFER_SIZE);
    int copy_length = 0;
    ASSERT_EQ(qvxml_get_values_xml_copy(id, copy.data(), &copy_length), 0);
    EXPECT_EQ(copy_length, length);
    EXPECT_EQ(std::string(copy.data()), std::string(text));

    qvtest::temp_dir dir;
    ASSERT_EQ(qvxml_get_values_to_file(id, dir.file("values.xml").c_str()), 0);
    EXPECT_EQ(qvtest::read_file(dir.file("values.xml")), std::string(text));

    kyvern_values *values = nullptr;
    kyvern_values_entry_count *count = nullptr;
    ASSERT_EQ(qvxml_get_values_cache(id, &values, &count), 0);
    EXPECT_EQ(count->SenSet, 2);
    EXPECT_STREQ(values->SenSet_Entry_Name[1], "Outlet");
    // Stamped when the completion is delivered, just after the first finish mark.
    EXPECT_TRUE(eventually([&] { return values->time_stamp > 0; }));
    auto own = std::make_unique<kyvern_values>();
    kyvern_values_entry_count own_count{};
    ASSERT_EQ(qvxml_get_values_cache_copy(id, own.get(), &own_count), 0);
    EXPECT_EQ(std::memcmp(own.get(), values, sizeof *values), 0);
    EXPECT_EQ(own_count.SenSet, 2);

    EXPECT_EQ(qvxml_get_values_to_file(id, "/nonexistent-dir/v.xml"), -1);
    EXPECT_EQ(fault_code(id), 6);
}

TEST_F(AccessorTest, EmptyOrNonXmlDocumentsAreRefused) {
    // An empty body fails its parse: the request failed and the gate keeps code 45.
    int id = fetched_values("");
    char *text;
    int length;
    EXPECT_EQ(qvxml_get_values_xml(id, &text, &length), -1);
    EXPECT_EQ(fault_code(id), 45);
    qvxml_close(id);

    // A parser hook that accepts anything: an empty document is "File not found".
    qvxml_settings s = plain_settings();
    s.callbacks.on_parse = [](int, void *, char *, int, int) { return 0; };
    id = open_running(80, s);
    ASSERT_EQ(qvxml_load_values(id, "", 0), 0);
    ASSERT_EQ(qvxml_wait_finish(id, 9, 10), 0);
    EXPECT_EQ(qvxml_get_values_xml(id, &text, &length), -1);
    EXPECT_EQ(fault_code(id), 10);
    qvxml_close(id);

    // An HTML page parses (not well-formed as a device document, but no failure).
    id = fetched_values("<html><body>Not here</body></html>");
    EXPECT_EQ(qvxml_get_values_xml(id, &text, &length), -1);
    EXPECT_EQ(fault_code(id), 11);
}

TEST_F(AccessorTest, GateRefusesAfterAnErrorOutsideTheAllowedSet) {
    const int id = fetched_values(kValuesDoc);
    xml_except(id, 19);
    char *text;
    int length;
    kyvern_values *v;
    kyvern_values_entry_count *c;
    EXPECT_EQ(qvxml_get_values_xml(id, &text, &length), -1);
    EXPECT_EQ(qvxml_get_values_cache(id, &v, &c), -1);
    EXPECT_EQ(qvxml_get_values_to_file(id, "/nonexistent/x"), -1);
    EXPECT_EQ(fault_code(id), 19);
    xml_except(id, 10);  // an allowed code lets it through again
    EXPECT_EQ(qvxml_get_values_xml(id, &text, &length), 0);
}

TEST_F(AccessorTest, CacheWithoutARecordIsActionNotValid) {
    // The on_parse hook replaces the built-in parser: the document arrives, no record exists.
    qvxml_settings s = plain_settings();
    s.callbacks.on_parse = [](int, void *, char *, int, int) { return 0; };
    const int id = open_running(80, s);
    ASSERT_EQ(qvxml_load_values(id, kValuesDoc.c_str(), static_cast<int>(kValuesDoc.size())), 0);
    ASSERT_EQ(qvxml_wait_finish(id, 9, 10), 0);
    kyvern_values *v = reinterpret_cast<kyvern_values *>(&s);
    kyvern_values_entry_count *c = nullptr;
    EXPECT_EQ(qvxml_get_values_cache(id, &v, &c), -1);
    EXPECT_EQ(fault_code(id), 2);
    EXPECT_EQ(v, nullptr);
    ASSERT_EQ(qvxml_load_setup(id, kSetupDoc.c_str(), static_cast<int>(kSetupDoc.size())), 0);
    ASSERT_EQ(qvxml_wait_finish(id, 10, 10), 0);
    kyvern_setup *setup = reinterpret_cast<kyvern_setup *>(&s);
    kyvern_setup_entry_count *sc = nullptr;
    EXPECT_EQ(qvxml_get_setup_cache(id, &setup, &sc), -1);
    EXPECT_EQ(setup, reinterpret_cast<kyvern_setup *>(&s));  // left unchanged
}

TEST_F(AccessorTest, ManyDeviceAccessorsUseTheDeviceRecords) {
    qvtest::device good(kValuesDoc, kSetupDoc, {});
    static std::atomic<int> rounds{0};
    rounds = 0;
    const int id = qvxml_open_many(nullptr);
    ASSERT_GT(id, 0);
    ASSERT_EQ(qvxml_wait_finish(id, 0, 10), 0);
    qvxml_callbacks cb;
    qvxml_clr_callback(0, &cb);
    cb.on_values_many = [](int, void *) { ++rounds; };
    ASSERT_EQ(qvxml_callback(id, &cb), 0);
    qvxml_settings s = plain_settings();
    ASSERT_EQ(qvxml_add_module(id, "127.0.0.1", good.port(), &s), 0);
    ASSERT_EQ(qvxml_add_module(id, "127.0.0.1", qvtest::closed_port(), &s), 1);

    int stamp = -1;
    EXPECT_EQ(qvxml_get_setup_many_status(id, 0, &stamp), -1);
    EXPECT_EQ(fault_code(id), 10);
    EXPECT_EQ(stamp, 0);

    ASSERT_EQ(qvxml_get_values(id), 0);
    ASSERT_EQ(qvxml_wait_finish(id, 2, 15), 0);
    EXPECT_EQ(rounds.load(), 1);

    char *text;
    int length;
    ASSERT_EQ(qvxml_get_values_xml_many(id, 0, &text, &length), 0);
    EXPECT_EQ(length, static_cast<int>(kValuesDoc.size()));
    kyvern_values *v;
    kyvern_values_entry_count *c;
    ASSERT_EQ(qvxml_get_values_cache_many(id, 0, &v, &c), 0);
    EXPECT_EQ(c->SenSet, 2);
    EXPECT_EQ(qvxml_get_values_many_status(id, 0, &stamp), 0);
    EXPECT_GT(stamp, 0);

    // The unreachable device: its last error (28) is reported through the module.
    EXPECT_EQ(qvxml_get_values_xml_many(id, 1, &text, &length), -1);
    xml_fault_record r;
    qvxml_error(id, &r);
    EXPECT_EQ(r.code, 28);
    EXPECT_STREQ(r.message, qvtest::kErrorRows[QV_E_SOCKET_CONNECT].message);

    EXPECT_EQ(qvxml_get_values_xml_many(id, 2, &text, &length), -1);  // index == count
    EXPECT_EQ(fault_code(id), 4);
    EXPECT_EQ(qvxml_get_values_xml_many(id, -1, &text, &length), -1);
    EXPECT_EQ(fault_code(id), 4);

    // Inactive devices are skipped.
    const int flags[2] = {0, 0};
    qvxml_active_modules(id, flags);
    const int served = good.requests();
    ASSERT_EQ(qvxml_get_values(id), 0);
    ASSERT_EQ(qvxml_wait_finish(id, 2, 10), 0);
    EXPECT_EQ(good.requests(), served);
}
