// The table of the modules this shared object contains: the package and its submodule.
#include "smsline/module_table.h"

#include "smsline/package.h"
#include "smsline/submodule.h"

namespace smsline {

EmbeddedModuleEntry embedded_module_table[] = {
    {"smsline", init_package_from_table, 0, 0, MODULE_FLAG_PACKAGE},
    {"smsline.send_sms", run_submodule_body, 0, 0, 0, send_sms_source},
    {nullptr, nullptr, 0, 0, 0} /* end row */
};

}  // namespace smsline
