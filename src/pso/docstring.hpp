// The class docstring, with the constructor signature in front so that the
// interpreter derives __text_signature__ from it.
#pragma once

namespace kavell {

inline constexpr const char* PSO_CLASS_DOC =
    "PSO(particle_count=100, iteration_count=100, cognitive_coefficient=1.0, social_coefficient=1.0, "
    "max_velocity_ratio=0.5, inertia_coefficient=0.5)\n"
    "--\n"
    "\n"
    "Particle Swarm Optimization (PSO) algorithm.\n"
    "粒子群优化算法。\n"
    "\n"
    "Represents the configuration parameters for the Particle Swarm Optimization algorithm.\n"
    "表示粒子群优化算法的配置参数。\n"
    "\n"
    "* `particle_count`: Number of particles in the swarm.\n"
    "                   群体中的粒子数量。\n"
    "* `iteration_count`: Number of iterations for the optimization process.\n"
    "                    优化过程的迭代次数。\n"
    "* `cognitive_coefficient`: Acceleration coefficient for a particle's adjustment towards its own best "
    "position. Typically in the range [0, 2].\n"
    "                          粒子朝向其自身最佳位置调整的加速系数。通常在范围 [0, 2] 内。\n"
    "* `social_coefficient`: Acceleration coefficient for a particle's adjustment towards the swarm's best "
    "position. Typically in the range [0, 2].\n"
    "                       粒子朝向群体最佳位置调整的加速系数。通常在范围 [0, 2] 内。\n"
    "* `max_velocity_ratio`: Maximum velocity ratio for particle movement.\n"
    "                       粒子移动的最大速度比率。\n"
    "* `inertia_coefficient`: Coefficient representing the influence of the particle's current velocity on its "
    "next position update.\n"
    "                        表示粒子当前速度对其下一个位置更新的影响系数。\n"
    "\n"
    "# Example\n"
    "\n"
    "```\n"
    "import kavell\n"
    "\n"
    "pso = kavell.PSO(\n"
    "    particle_count=100,\n"
    "    iteration_count=100,\n"
    "    cognitive_coefficient=1.0,\n"
    "    social_coefficient=1.0,\n"
    "    max_velocity_ratio=0.5,\n"
    "    inertia_coefficient=0.5,\n"
    ")\n"
    "```";

}  // namespace kavell
