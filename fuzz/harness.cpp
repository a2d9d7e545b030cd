// libFuzzer entry point that embeds the Python interpreter.
//
// The extensions' sources are linked into this binary and registered as the
// built-in modules velka.bencode, velka.raw and velka._typed, so the package imports
// resolve to them and the sanitizers and coverage instrumentation see every
// line of the codec. (Linked together, the two modules share the core's
// state; velka.raw and velka._typed bind only what velka.bencode leaves
// alone.)
// Each input is handed as a bytes object to one function of
// fuzz/targets.py (chosen at build time by FUZZ_TARGET); that function
// returns normally for every acceptable outcome, and anything it raises is a
// finding: the traceback is printed and the process aborts, which libFuzzer
// records as a crash together with the input.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#ifndef FUZZ_TARGET
#error "FUZZ_TARGET must name a function of targets.py"
#endif

#define VELKA_STRINGIFY_(x) #x
#define VELKA_STRINGIFY(x) VELKA_STRINGIFY_(x)

extern "C" PyObject* PyInit_bencode(void);
extern "C" PyObject* PyInit_raw(void);
extern "C" PyObject* PyInit__typed(void);

namespace {

PyObject* target = nullptr;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz harness: %s\n", what);
    if (PyErr_Occurred()) {
        PyErr_Print();
    }
    std::fflush(stderr);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every Python object goes through malloc, where AddressSanitizer and
    // LeakSanitizer see it.
    PyPreConfig preconfig;
    PyPreConfig_InitPythonConfig(&preconfig);
    preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;
    PyStatus status = Py_PreInitialize(&preconfig);
    if (PyStatus_Exception(status)) {
        Py_ExitStatusException(status);
    }
    if (PyImport_AppendInittab("velka.bencode", PyInit_bencode) < 0 ||
        PyImport_AppendInittab("velka.raw", PyInit_raw) < 0 ||
        PyImport_AppendInittab("velka._typed", PyInit__typed) < 0) {
        fail("cannot register the extension modules");
    }
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.install_signal_handlers = 0;  // leave SIGINT and friends to libFuzzer
    config.parse_argv = 0;
    status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
        Py_ExitStatusException(status);
    }
    // PYTHONPATH (set by run.sh) holds targets.py and the velka package.
    PyObject* targets = PyImport_ImportModule("targets");
    if (targets == nullptr) {
        fail("cannot import targets");
    }
    target = PyObject_GetAttrString(targets, VELKA_STRINGIFY(FUZZ_TARGET));
    Py_DECREF(targets);
    if (target == nullptr) {
        fail("no such target");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PyObject* input = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                                static_cast<Py_ssize_t>(size));
    if (input == nullptr) {
        fail("cannot make the input");
    }
    PyObject* result = PyObject_CallOneArg(target, input);
    Py_DECREF(input);
    if (result == nullptr) {
        fail("finding");
    }
    Py_DECREF(result);
    return 0;
}
