/* One of vantle's Python modules. Its code lives in libvantle.so, so that every C++ frame of
 * vantle uses that library's one private C++ runtime and unwinder; this stub holds no C++ and
 * only hands Python the module's definition. Built once per module with VANTLE_MODULE_NAME. */

#include <Python.h>

#define VANTLE_JOIN_(a, b) a##b
#define VANTLE_JOIN(a, b) VANTLE_JOIN_(a, b)
#define VANTLE_TEXT_(a) #a
#define VANTLE_TEXT(a) VANTLE_TEXT_(a)

PyObject* vantle_module_definition(const char* name);

PyMODINIT_FUNC VANTLE_JOIN(PyInit_, VANTLE_MODULE_NAME)(void) {
    return vantle_module_definition(VANTLE_TEXT(VANTLE_MODULE_NAME));
}
