#include "feed_contract/runtime_options.hpp"

#include "feed_contract/feed_contract.hpp"

namespace nb = nanobind;

namespace vantle {

void check_runtime_options(nb::handle supplied, nb::handle supported) {
    nb::object supported_map = nb::borrow(supported);
    for (nb::handle item : supplied.attr("items")()) {
        nb::object name = item[0];
        nb::object value = item[1];
        if (!nb::cast<bool>(supported_map.attr("__contains__")(name))) {
            nb::list valid;
            for (nb::handle known : supported_map) valid.append(nb::repr(known));
            throw InvalidRuntimeOptionError(
                nb::str("Unknown option {}; valid options: {}").format(nb::repr(name), nb::str(", ").attr("join")(valid)).c_str());
        }
        nb::object expected = supported_map[name];
        if (!nb::isinstance(value, expected)) {
            throw InvalidRuntimeOptionError(
                nb::str("Option '{}' should be of type '{}', got '{}'")
                    .format(name, expected.attr("__name__"), value.type().attr("__name__"))
                    .c_str());
        }
    }
}

}  // namespace vantle
