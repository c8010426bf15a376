// The likelihood submodule's initialisation: adds the function pairs of every model family in
// their fixed order, then the MvExpRecursiveLogLik class. Each family's binding file defines its
// pair as {with_grad, value}.
#include "python/boundary.hpp"

namespace vostrel::py {

extern Function uni_exp_functions[2];
extern Function uni_powerlaw_functions[2];
extern Function uni_nonparametric_functions[2];
extern Function uni_sumexp_functions[2];
extern Function uni_approx_powerlaw_functions[2];
extern Function marked_uni_exp_functions[2];
extern Function nonlinear_uni_exp_functions[2];
extern Function mv_exp_dense_functions[2];
PyTypeObject* mv_exp_recursive_type();

int init_likelihood(PyObject* module) {
    Function* const groups[] = {
        uni_exp_functions,           uni_powerlaw_functions,        uni_nonparametric_functions,
        uni_sumexp_functions,        uni_approx_powerlaw_functions, marked_uni_exp_functions,
        nonlinear_uni_exp_functions, mv_exp_dense_functions,
    };
    for (Function* group : groups) {
        for (int k = 0; k < 2; ++k) {
            if (add_function(module, group[k]) < 0) return -1;
        }
    }
    PyTypeObject* model_type = mv_exp_recursive_type();
    if (model_type == nullptr) return -1;
    if (add_member(module, "MvExpRecursiveLogLik", reinterpret_cast<PyObject*>(model_type)) < 0) {
        return -1;
    }
    return 0;
}

}  // namespace vostrel::py
