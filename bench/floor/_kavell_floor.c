/* The least work one objective call takes, two ways.
 *
 * floor(f, kind, values, evaluations) runs `evaluations` times: a new list
 * of new objects (floats for "f64", ints for "i64") built from a C array,
 * a new dict {kind: list}, PyObject_Call(f, (), dict), and one `<`
 * comparison of the result against the best so far. It returns the best
 * result.
 *
 * bare(f, kind, values, evaluations) is the bare call: one list made once,
 * its floats (or ints, where the interpreter's layout allows; otherwise a
 * new int) rewritten in place before every call, one vectorcall with a
 * keyword-names tuple made once, and the same `<` comparison. It trusts f
 * not to keep or change the list, which the benchmark's objectives do not.
 *
 * Built only by bench/per_evaluation.py into a temporary directory; never
 * installed.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif

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

/* Writes `value` into the int `object` when only the list holds it, the
 * value lies outside the small-int cache and needs the object's digit
 * count; returns 0, writing nothing, otherwise. */
static int rewrite_int(PyObject* object, long long value) {
#if PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
    if (Py_REFCNT(object) != 1 || (value >= -5 && value <= 256)) {
        return 0;
    }
    unsigned long long magnitude = value < 0 ? 0ull - (unsigned long long)value : (unsigned long long)value;
    digit digits[(64 + PyLong_SHIFT - 1) / PyLong_SHIFT];
    Py_ssize_t count = 0;
    for (; magnitude != 0; magnitude >>= PyLong_SHIFT) {
        digits[count++] = (digit)(magnitude & PyLong_MASK);
    }
    PyLongObject* number = (PyLongObject*)object;
#if PY_VERSION_HEX >= 0x030C0000
    if ((number->long_value.lv_tag | 2) != (((uintptr_t)count << _PyLong_NON_SIZE_BITS) | 2)) {
        return 0;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        number->long_value.ob_digit[i] = digits[i];
    }
    number->long_value.lv_tag = ((uintptr_t)count << _PyLong_NON_SIZE_BITS) | (value < 0 ? 2 : 0);
#else
    if ((Py_SIZE(object) < 0 ? -Py_SIZE(object) : Py_SIZE(object)) != count) {
        return 0;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        number->ob_digit[i] = digits[i];
    }
    Py_SET_SIZE(object, value < 0 ? -count : count);
#endif
    return 1;
#else
    (void)object;
    (void)value;
    return 0;
#endif
}

static int rewrite(PyObject** slot, int is_float, double d, long long i) {
    if (is_float && Py_REFCNT(*slot) == 1) {
        ((PyFloatObject*)*slot)->ob_fval = d;
        return 0;
    }
    if (!is_float && rewrite_int(*slot, i)) {
        return 0;
    }
    PyObject* element = new_element(is_float, d, i);
    if (element == NULL) {
        return -1;
    }
    Py_SETREF(*slot, element);
    return 0;
}

static PyObject* bare_run(PyObject* self, PyObject* args) {
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
    PyObject* names = PyTuple_Pack(1, kind);
    PyObject* list = PyList_New(n);
    PyObject* best = NULL;
    if (doubles == NULL || ints == NULL || names == NULL || list == NULL) {
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
        PyObject* element = new_element(is_float, doubles[k], ints[k]);
        if (element == NULL) {
            goto done;
        }
        PyList_SET_ITEM(list, k, element);
    }
    for (Py_ssize_t e = 0; e < evaluations; ++e) {
        PyObject** items = ((PyListObject*)list)->ob_item;
        for (Py_ssize_t k = 0; k < n; ++k) {
            if (rewrite(&items[k], is_float, doubles[k], ints[k]) < 0) {
                goto done;
            }
        }
        PyObject* stack[2] = {NULL, list};
        PyObject* result = PyObject_Vectorcall(f, stack + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, names);
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
    Py_XDECREF(names);
    Py_XDECREF(list);
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
    {"bare", bare_run, METH_VARARGS, "bare(f, kind, values, evaluations): the bare-call loop."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "_kavell_floor", "The C floor of one objective call.", -1, floor_methods,
};

PyMODINIT_FUNC PyInit__kavell_floor(void) { return PyModule_Create(&floor_module); }
