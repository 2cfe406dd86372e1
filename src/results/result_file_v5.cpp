#include "results/result_file_v5.h"

void readClientCertificate(FieldReader& reader, const nlohmann::json& settings, SavedRun& run) {
    const auto found = settings.find("client_certificate");
    if (found == settings.end()) {
        reader.fail("no \"settings.client_certificate\" field");
    } else if (!found->is_boolean()) {
        reader.fail("\"settings.client_certificate\" is not true or false");
    } else {
        run.clientCertificate = found->get<bool>();
    }
}
