/* The least work one objective call with freshly built objects takes.
 *
 * floor(f, kind, values, evaluations) runs `evaluations` times: a new list
 * of new objects (floats for "f64", ints for "i64") built from a C array,
 * a new dict {kind: list}, PyObject_Call(f, (), dict), and one `<`
 * comparison of the result against the best so far. It returns the best
 * result. Built only by bench/per_evaluation.py into a temporary directory;
 * never installed.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdlib.h>

static PyObject* new_element(int is_float, double d, long long i) {
    return is_float ? PyFloat_FromDouble(d) : PyLong_FromLongLong(i);
}

static PyObject* floor_run(PyObject* self, PyObject* args) {
    PyObject *f, *kind, *values;
    Py_ssize_t evaluations;
    (void)self;
    if (!PyArg_ParseTuple(args, "OUOn", &f, &kind, &values, &evaluations)) {
        return NULL;
    }
    const int is_float = PyUnicode_CompareWithASCIIString(kind, "f64") == 0;
    if (!is_float && PyUnicode_CompareWithASCIIString(kind, "i64") != 0) {
        PyErr_SetString(PyExc_ValueError, "kind must be 'f64' or 'i64'");
        return NULL;
    }
    PyObject* sequence = PySequence_Fast(values, "values must be a sequence");
    if (sequence == NULL) {
        return NULL;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence);
    double* doubles = malloc(sizeof(double) * (size_t)(n > 0 ? n : 1));
    long long* ints = malloc(sizeof(long long) * (size_t)(n > 0 ? n : 1));
    PyObject* empty = PyTuple_New(0);
    PyObject* best = NULL;
    if (doubles == NULL || ints == NULL || empty == NULL) {
        PyErr_NoMemory();
        goto done;
    }
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PySequence_Fast_GET_ITEM(sequence, k);
        if (is_float) {
            doubles[k] = PyFloat_AsDouble(item);
        } else {
            ints[k] = PyLong_AsLongLong(item);
        }
        if (PyErr_Occurred()) {
            goto done;
        }
    }
    for (Py_ssize_t e = 0; e < evaluations; ++e) {
        PyObject* list = PyList_New(n);
        if (list == NULL) {
            goto done;
        }
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject* element = new_element(is_float, doubles[k], ints[k]);
            if (element == NULL) {
                Py_DECREF(list);
                goto done;
            }
            PyList_SET_ITEM(list, k, element);
        }
        PyObject* kwargs = PyDict_New();
        if (kwargs == NULL || PyDict_SetItem(kwargs, kind, list) < 0) {
            Py_XDECREF(kwargs);
            Py_DECREF(list);
            goto done;
        }
        Py_DECREF(list);
        PyObject* result = PyObject_Call(f, empty, kwargs);
        Py_DECREF(kwargs);
        if (result == NULL) {
            goto done;
        }
        if (best == NULL) {
            best = result;
            continue;
        }
        const int less = PyObject_RichCompareBool(result, best, Py_LT);
        if (less < 0) {
            Py_DECREF(result);
            goto done;
        }
        if (less) {
            Py_SETREF(best, result);
        } else {
            Py_DECREF(result);
        }
    }
done:
    free(doubles);
    free(ints);
    Py_XDECREF(empty);
    Py_DECREF(sequence);
    if (PyErr_Occurred()) {
        Py_XDECREF(best);
        return NULL;
    }
    if (best == NULL) {
        Py_RETURN_NONE;
    }
    return best;
}

static PyMethodDef floor_methods[] = {
    {"floor", floor_run, METH_VARARGS, "floor(f, kind, values, evaluations): the per-call floor loop."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "_kavell_floor", "The C floor of one objective call.", -1, floor_methods,
};

PyMODINIT_FUNC PyInit__kavell_floor(void) { return PyModule_Create(&floor_module); }
