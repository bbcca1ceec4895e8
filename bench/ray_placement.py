"""Where Ray places the fleet's workers on a two-node cluster on this machine.

Asks for four zero-CPU actors round-robin over the nodes, with the soft node affinity the fleet
uses, and prints the node index each one landed on; repeated, this shows how often Ray follows
the request. `--strategy hard` or `spread` compares the alternatives.

    .venv/bin/python bench/ray_placement.py --runs 7 [--strategy soft|hard|spread]
"""

import argparse

import ray
from ray.cluster_utils import Cluster
from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

NODE = {"num_cpus": 1, "object_store_memory": 200 * 2**20}


@ray.remote(num_cpus=0)
class Probe:
    def node(self):
        return ray.get_runtime_context().get_node_id()


def one_run(strategy, workers):
    cluster = Cluster(initialize_head=True, head_node_args={**NODE, "include_dashboard": False})
    cluster.add_node(**NODE)
    cluster.wait_for_nodes()
    ray.init(address=cluster.address, logging_level="warning")
    try:
        nodes = sorted(node["NodeID"] for node in ray.nodes() if node["Alive"])

        def placement(i):
            if strategy == "spread":
                return "SPREAD"
            return NodeAffinitySchedulingStrategy(nodes[i % len(nodes)], soft=strategy == "soft")

        probes = [Probe.options(scheduling_strategy=placement(i)).remote() for i in range(workers)]
        return [nodes.index(node) for node in ray.get([p.node.remote() for p in probes])]
    finally:
        ray.shutdown()
        cluster.shutdown()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--workers", type=int, default=4)
    parser.add_argument("--strategy", choices=("soft", "hard", "spread"), default="soft")
    args = parser.parse_args()
    asked = [i % 2 for i in range(args.workers)]
    followed = 0
    for _ in range(args.runs):
        placed = one_run(args.strategy, args.workers)
        followed += placed == asked
        print(f"asked {asked}, placed {placed}", flush=True)
    print(f"{args.strategy}: followed in {followed} of {args.runs} runs")


if __name__ == "__main__":
    main()
