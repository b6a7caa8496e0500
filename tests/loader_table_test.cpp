// Loader behaviour with tables of its own: trigger rows and rows whose code is in a code store.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loader/module_table.h"
#include "runtime/python.h"
#include "runtime/ref.h"
#include "runtime/shared_values.h"

namespace smsline {
namespace {

// What the native init functions of the table saw, in call order.
std::vector<std::string> calls;
int failing_attempts = 0;

// Marks the module started and gives it a spec of its own that is still
// initialising, as a module body does.
PyObject* record_init(PyObject* module, EmbeddedModuleEntry* row) noexcept {
  calls.push_back(row->name);
  Ref types = Ref::steal(PyImport_ImportModule("types"));
  Ref spec = Ref::steal(types ? PyObject_CallMethod(types.get(), "SimpleNamespace", nullptr) : nullptr);
  if (!spec || PyObject_SetAttrString(spec.get(), "_initializing", Py_True) < 0 ||
      PyObject_SetAttrString(module, "__spec__", spec.get()) < 0 ||
      PyObject_SetAttrString(module, "started", Py_True) < 0) {
    return nullptr;
  }
  return module;
}

// Fails its first start only.
PyObject* failing_init(PyObject* module, EmbeddedModuleEntry*) noexcept {
  if (++failing_attempts == 1) {
    PyErr_SetString(PyExc_ValueError, "first start fails");
    return nullptr;
  }
  return module;
}

EmbeddedModuleEntry table[] = {
    {"native-preLoad", record_init, 0, 0, 0},
    {"native", record_init, 0, 0, 0},
    {"native-postLoad", record_init, 0, 0, 0},
    {"codepkg", nullptr, 0, 0, MODULE_FLAG_PACKAGE | MODULE_FLAG_CODE},
    {"codepkg.child", nullptr, 1, 0, MODULE_FLAG_CODE},
    {"failing", failing_init, 0, 0, 0},
    {nullptr, nullptr, 0, 0, 0} /* end row */
};
EmbeddedModuleEntry* const codepkg_row = &table[3];

// Module code of the two code rows, compiled and serialized by the embedded
// interpreter; the bytes objects keep the store's pointers valid.
const char* const code_sources[] = {
    "ran = [__name__]\nseen_path = list(__path__)\nseen_package = __package__\n",
    "import codepkg\ncodepkg.ran.append(__name__)\nparent = __package__\n",
};
const unsigned char* code_store[2] = {};
PyObject* code_bytes[2] = {};

PyObject* main_globals() { return PyModule_GetDict(PyImport_AddModule("__main__")); }

// Runs statements in __main__; false (with the error cleared and reported) on failure.
bool run(const char* statements) {
  Ref result = Ref::steal(PyRun_String(statements, Py_file_input, main_globals(), main_globals()));
  if (!result) {
    PyErr_Print();
    return false;
  }
  return true;
}

// The value of an expression evaluated in __main__, as its str().
std::string value_of(const char* expression) {
  Ref result = Ref::steal(PyRun_String(expression, Py_eval_input, main_globals(), main_globals()));
  if (!result) {
    PyErr_Print();
    return "<error>";
  }
  Ref text = Ref::steal(PyObject_Str(result.get()));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  return utf8 != nullptr ? utf8 : "<error>";
}

class EmbeddedInterpreter : public ::testing::Environment {
 public:
  void SetUp() override {
    Py_Initialize();
    ASSERT_TRUE(create_shared_values());
    Ref marshal = Ref::steal(PyImport_ImportModule("marshal"));
    ASSERT_TRUE(marshal);
    for (int i = 0; i < 2; ++i) {
      Ref code = Ref::steal(Py_CompileString(code_sources[i], "<table code>", Py_file_input));
      ASSERT_TRUE(code);
      code_bytes[i] = PyObject_CallMethod(marshal.get(), "dumps", "O", code.get());
      ASSERT_TRUE(code_bytes[i] != nullptr);
      code_store[i] = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(code_bytes[i]));
      table[3 + i].code_size = static_cast<std::int32_t>(PyBytes_GET_SIZE(code_bytes[i]));
    }
    register_embedded_loader(table, code_store);
    ASSERT_TRUE(run("import sys\nL = sys.meta_path[2]"));
  }
};

::testing::Environment* const interpreter = ::testing::AddGlobalTestEnvironment(new EmbeddedInterpreter);

TEST(LoaderTable, RegistersOnceAtMetaPathTwo) {
  EXPECT_EQ(value_of("sys.meta_path[2] is L and L.__name__ == 'tarvik_module_loader'"), "True");
  EmbeddedModuleEntry other[] = {{"other", record_init, 0, 0, 0}, {nullptr, nullptr, 0, 0, 0}};
  register_embedded_loader(other, nullptr);
  EXPECT_EQ(value_of("sum(1 for finder in sys.meta_path if finder is L)"), "1");
  EXPECT_EQ(value_of("L.find_spec('other')"), "None");
  EXPECT_EQ(find_row("other"), nullptr);
  EXPECT_EQ(value_of("L.is_package('codepkg'), L.is_package('codepkg.child'), L.is_package('native')"),
            "(True, False, False)");
}

TEST(LoaderTable, NativeRowRunsBetweenItsTriggerRows) {
  calls.clear();
  ASSERT_TRUE(run("import native"));
  EXPECT_EQ(calls, (std::vector<std::string>{"native-preLoad", "native", "native-postLoad"}));
  EXPECT_EQ(value_of("native.started, native.__loader__ is L, type(native.__spec__).__name__"),
            "(True, True, 'SimpleNamespace')");
  EXPECT_EQ(value_of("native.__spec__._initializing"), "False");
  // Each load_module starts a new module and runs the triggers again.
  calls.clear();
  ASSERT_TRUE(run("reloaded = L.load_module('native')"));
  EXPECT_EQ(calls, (std::vector<std::string>{"native-preLoad", "native", "native-postLoad"}));
  EXPECT_EQ(value_of("reloaded is not native and sys.modules['native'] is reloaded"), "True");
  // A trigger row imported by its own name has no triggers of its own.
  calls.clear();
  ASSERT_TRUE(run("L.load_module('native-postLoad')"));
  EXPECT_EQ(calls, (std::vector<std::string>{"native-postLoad"}));
}

TEST(LoaderTable, CodeRowsRunTheirSerializedCode) {
  ASSERT_TRUE(run("import codepkg.child"));
  EXPECT_EQ(value_of("codepkg.ran"), "['codepkg', 'codepkg.child']");
  EXPECT_EQ(value_of("len(codepkg.seen_path), codepkg.seen_path == codepkg.__path__"), "(1, True)");
  EXPECT_EQ(value_of("codepkg.__path__[0].endswith('/codepkg')"), "True");
  EXPECT_EQ(value_of("codepkg.seen_package, codepkg.__package__, codepkg.child.parent"),
            "('codepkg', 'codepkg', 'codepkg')");
  EXPECT_EQ(value_of("codepkg.child.__file__ == codepkg.__path__[0] + '/child'"), "True");
  EXPECT_EQ(value_of("L.find_spec('codepkg').submodule_search_locations"), "[]");
}

TEST(LoaderTable, FailingRowPropagatesAndIsTriedAgain) {
  failing_attempts = 0;
  ASSERT_TRUE(run("try:\n    import failing\nexcept ValueError as e:\n    failure = str(e)\n"));
  EXPECT_EQ(value_of("failure"), "first start fails");
  EXPECT_EQ(value_of("'failing' in sys.modules"), "False");
  ASSERT_TRUE(run("import failing"));
  EXPECT_EQ(failing_attempts, 2);
}

TEST(LoaderTable, InstancesListChildrenAndAreRecycled) {
  std::vector<PyObject*> instances;
  for (int i = 0; i < 20; ++i) instances.push_back(new_loader_instance(i % 2 ? codepkg_row : nullptr));
  for (PyObject* instance : instances) ASSERT_TRUE(instance != nullptr);
  for (PyObject* instance : instances) Py_DECREF(instance);
  // Taken from the free list again; both kinds stand for codepkg here.
  for (EmbeddedModuleEntry* row : {codepkg_row, static_cast<EmbeddedModuleEntry*>(nullptr)}) {
    Ref instance = Ref::steal(new_loader_instance(row));
    ASSERT_TRUE(instance);
    EXPECT_EQ(Py_REFCNT(instance.get()), 1);
    ASSERT_EQ(PyDict_SetItemString(main_globals(), "instance", instance.get()), 0);
    EXPECT_EQ(value_of("repr(instance)"), "<tarvik_module_loader for 'codepkg'>");
    EXPECT_EQ(value_of("instance.iter_modules(''), instance.iter_modules('codepkg.')"),
              "([('child', False)], [('codepkg.child', False)])");
    ASSERT_EQ(PyDict_DelItemString(main_globals(), "instance"), 0);
  }
}

}  // namespace
}  // namespace smsline
