#include "service/dispatcher.h"

#include "service/wide_name.h"

namespace quolin {

Status<ServiceError> run_dispatcher(platform::ServiceControl& api,
                                    platform::ServiceMainFunction service_main) {
  // The name must outlive the dispatcher call: it lives in this frame until the call returns.
  Result<std::u16string, ServiceError> name = to_wide_name(SERVICE_NAME);
  if (!name) return fail(std::move(name).error());
  if (platform::SysStatus started = api.StartServiceCtrlDispatcherW(name.value().c_str(), service_main);
      !started) {
    return fail(ServiceError::winapi(started.error().code()));
  }
  return {};
}

EntryResult program_entry(platform::ServiceControl& api,
                          platform::ServiceMainFunction service_main) {
  Status<ServiceError> r = run_dispatcher(api, service_main);
  if (r) return {0, {}};
  return {1, "Error: " + diagnostic_form(r.error(), api) + "\n"};
}

}  // namespace quolin
