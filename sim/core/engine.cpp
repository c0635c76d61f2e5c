#include "sim/core/engine.h"

#include <stdexcept>
#include <string>

namespace korvasim {

namespace {

const int REGISTER_IDS[16] = {UC_ARM_REG_R0,  UC_ARM_REG_R1,  UC_ARM_REG_R2,  UC_ARM_REG_R3,
                              UC_ARM_REG_R4,  UC_ARM_REG_R5,  UC_ARM_REG_R6,  UC_ARM_REG_R7,
                              UC_ARM_REG_R8,  UC_ARM_REG_R9,  UC_ARM_REG_R10, UC_ARM_REG_R11,
                              UC_ARM_REG_R12, UC_ARM_REG_R13, UC_ARM_REG_R14, UC_ARM_REG_R15};

} // namespace

void check(uc_err err, const char* what)
{
    if (err != UC_ERR_OK)
        throw std::runtime_error(std::string("unicorn: ") + what + ": " + uc_strerror(err));
}

uint32_t read_register(uc_engine* uc, int n)
{
    uint32_t value = 0;
    check(uc_reg_read(uc, REGISTER_IDS[n], &value), "read register");
    return value;
}

void write_register(uc_engine* uc, int n, uint32_t value)
{
    check(uc_reg_write(uc, REGISTER_IDS[n], &value), "write register");
}

} // namespace korvasim
