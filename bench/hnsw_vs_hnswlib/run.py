#!/usr/bin/python3
"""Vantor (our HNSW) against hnswlib on identical data.

Writes Gaussian-cluster data, queries and cosine ground truth to a work
directory, runs hnswlib in this process and our index through
hnsw_bench_driver, for 1 and 8 threads, and prints build time, memory after
build, recall@k and QPS per ef, then the ratios:
  QPS at recall 0.95 (ours / hnswlib)  -- higher is better
  build time (ours / hnswlib)          -- lower is better
  reload time (ours / hnswlib load_index), in memory and memory-mapped,
  with a check that the reloaded index gives the same hits
and a u8 L2 row (the data quantised to bytes; hnswlib runs "l2" on the same
values as floats).

usage: run.py <path to hnsw_bench_driver> [--n 200000] [--dim 128] ...
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
import hnswlib


def rss_mb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def make_data(n, nq, dim, clusters, seed=1):
    rng = np.random.default_rng(seed)
    centers = rng.normal(0, 1, (clusters, dim)).astype(np.float32)
    def draw(m):
        c = rng.integers(0, clusters, m)
        return (centers[c] + rng.normal(0, 0.35, (m, dim))).astype(np.float32)
    return draw(n), draw(nq)


def ground_truth(data, queries, k):
    dn = data / np.linalg.norm(data, axis=1, keepdims=True)
    qn = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    gt = np.empty((len(queries), k), dtype=np.int32)
    for s in range(0, len(queries), 100):
        sims = qn[s:s + 100] @ dn.T
        idx = np.argpartition(-sims, k, axis=1)[:, :k]
        order = np.argsort(-np.take_along_axis(sims, idx, axis=1), axis=1)
        gt[s:s + 100] = np.take_along_axis(idx, order, axis=1)
    return gt


def recall(labels, gt):
    k = gt.shape[1]
    return sum(len(set(l[:k]) & set(g)) for l, g in zip(labels, gt)) / gt.size


def run_hnswlib(data, queries, gt, threads, m, efc, k, efs):
    rss0 = rss_mb()
    t0, c0 = time.perf_counter(), time.process_time()
    index = hnswlib.Index(space="cosine", dim=data.shape[1])
    index.init_index(max_elements=len(data), M=m, ef_construction=efc, random_seed=7)
    index.add_items(data, np.arange(len(data)), num_threads=threads)
    build, build_cpu = time.perf_counter() - t0, time.process_time() - c0
    mem = rss_mb() - rss0
    rows = []
    for ef in efs:
        index.set_ef(ef)
        s0, sc0 = time.perf_counter(), time.process_time()
        labels = index.knn_query(queries, k=k, num_threads=threads)[0]
        dt, dcpu = time.perf_counter() - s0, time.process_time() - sc0
        rows.append({"ef": ef, "recall": recall(labels, gt), "qps": len(queries) / dt,
                     "cpu_us_per_query": dcpu / len(queries) * 1e6})
    del index
    return {"build_s": build, "build_cpu_s": build_cpu, "mem_mb": mem}, rows


def run_ours(driver, workdir, dim, threads, m, efc, k, efs, env=None):
    out = subprocess.run([driver, workdir, str(dim), str(threads), str(m), str(efc), str(k)] + [str(e) for e in efs],
                         check=True, capture_output=True, text=True, env={**os.environ, **(env or {})}).stdout
    lines = [json.loads(l) for l in out.splitlines() if l.startswith("{")]
    return lines[0], lines[1:]


def hnswlib_reload(data, m, efc, workdir):
    """Seconds for save_index and load_index of the same index hnswlib built."""
    index = hnswlib.Index(space="cosine", dim=data.shape[1])
    index.init_index(max_elements=len(data), M=m, ef_construction=efc, random_seed=7)
    index.add_items(data, np.arange(len(data)), num_threads=8)
    path = os.path.join(workdir, "hnswlib.bin")
    t0 = time.perf_counter()
    index.save_index(path)
    save = time.perf_counter() - t0
    t0 = time.perf_counter()
    loaded = hnswlib.Index(space="cosine", dim=data.shape[1])
    loaded.load_index(path, max_elements=len(data))
    return save, time.perf_counter() - t0


def quantise(x):
    return np.clip(np.rint(x * 40 + 128), 0, 255).astype(np.uint8)


def l2_truth(data, queries, k):
    d, q = data.astype(np.float32), queries.astype(np.float32)
    dn = (d * d).sum(axis=1)
    gt = np.empty((len(q), k), dtype=np.int32)
    for s in range(0, len(q), 100):
        dist = dn[None, :] - 2 * q[s:s + 100] @ d.T
        idx = np.argpartition(dist, k, axis=1)[:, :k]
        order = np.argsort(np.take_along_axis(dist, idx, axis=1), axis=1)
        gt[s:s + 100] = np.take_along_axis(idx, order, axis=1)
    return gt


def qps_at(rows, target):
    """QPS at the given recall, interpolated between the two ef values around it."""
    rows = sorted(rows, key=lambda r: r["recall"])
    for a, b in zip(rows, rows[1:]):
        if a["recall"] <= target <= b["recall"]:
            if b["recall"] == a["recall"]:
                return max(a["qps"], b["qps"])
            t = (target - a["recall"]) / (b["recall"] - a["recall"])
            return a["qps"] + t * (b["qps"] - a["qps"])
    best = [r for r in rows if r["recall"] >= target]
    return max(r["qps"] for r in best) if best else None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("driver")
    ap.add_argument("--n", type=int, default=200000)
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--clusters", type=int, default=1000)
    ap.add_argument("--m", type=int, default=24)
    ap.add_argument("--efc", type=int, default=400)
    ap.add_argument("--k", type=int, default=10)
    ap.add_argument("--threads", default="1,8")
    ap.add_argument("--ef", default="10,20,40,60,80,120,160,200,300,400")
    ap.add_argument("--target", type=float, default=0.95)
    args = ap.parse_args()
    efs = [int(x) for x in args.ef.split(",")]

    data, queries = make_data(args.n, args.queries, args.dim, args.clusters)
    gt = ground_truth(data, queries, args.k)
    with tempfile.TemporaryDirectory() as work:
        data.tofile(os.path.join(work, "data.f32"))
        queries.tofile(os.path.join(work, "queries.f32"))
        gt.tofile(os.path.join(work, "gt.i32"))
        print(f"data: {args.n} x {args.dim} from {args.clusters} Gaussian clusters, {args.queries} queries, "
              f"cosine, M={args.m}, ef_construction={args.efc}, k={args.k}")
        for threads in [int(t) for t in args.threads.split(",")]:
            ours_build, ours = run_ours(args.driver, work, args.dim, threads, args.m, args.efc, args.k, efs)
            peer_build, peer = run_hnswlib(data, queries, gt, threads, args.m, args.efc, args.k, efs)
            print(f"\n== {threads} thread(s)")
            print(f"build time   ours {ours_build['build_s']:8.2f} s   hnswlib {peer_build['build_s']:8.2f} s"
                  f"   (CPU ours {ours_build['build_cpu_s']:.2f} s, hnswlib {peer_build['build_cpu_s']:.2f} s)")
            print(f"memory       ours {ours_build['mem_mb']:8.1f} MB  hnswlib {peer_build['mem_mb']:8.1f} MB")
            print(f"{'ef':>5} {'recall ours':>12} {'qps ours':>10} {'cpu us/q':>9} "
                  f"{'recall hnswlib':>15} {'qps hnswlib':>12} {'cpu us/q':>9}")
            for o, p in zip(ours, peer):
                print(f"{o['ef']:>5} {o['recall']:>12.4f} {o['qps']:>10.0f} {o['cpu_us_per_query']:>9.1f} "
                      f"{p['recall']:>15.4f} {p['qps']:>12.0f} {p['cpu_us_per_query']:>9.1f}")
            qo, qp = qps_at(ours, args.target), qps_at(peer, args.target)
            if qo and qp:
                print(f"QPS at recall {args.target}: ours/hnswlib = {qo / qp:.2f}  ({qo:.0f} vs {qp:.0f})")
            else:
                print(f"QPS at recall {args.target}: not reached (ours {qo}, hnswlib {qp})")
            print(f"build time: ours/hnswlib = {ours_build['build_s'] / peer_build['build_s']:.2f}"
                  f"  (CPU time {ours_build['build_cpu_s'] / peer_build['build_cpu_s']:.2f})")
            sys.stdout.flush()

        print("\n== dump and reload (8 threads build)")
        _, rows = run_ours(args.driver, work, args.dim, 8, args.m, args.efc, args.k, [120],
                           env={"VANTOR_BENCH_DUMP": "1"})
        dump = rows[-1]
        save, load = hnswlib_reload(data, args.m, args.efc, work)
        print(f"dump ours {dump['dump_s']:.3f} s, hnswlib save_index {save:.3f} s: ours/hnswlib = "
              f"{dump['dump_s'] / save:.2f}")
        print(f"reload in memory {dump['reload_mem_s']:.3f} s, mapped {dump['reload_mmap_s']:.3f} s, "
              f"hnswlib load_index {load:.3f} s: ours/hnswlib = {dump['reload_mem_s'] / load:.2f} (memory), "
              f"{dump['reload_mmap_s'] / load:.2f} (mapped); same hits after reload: {dump['same_hits']}")

        print("\n== u8, DistL2 (8 threads)")
        qd, qq = quantise(data), quantise(queries)
        qd.tofile(os.path.join(work, "data.u8"))
        qq.tofile(os.path.join(work, "queries.u8"))
        gt8 = l2_truth(qd, qq, args.k)
        gt8.tofile(os.path.join(work, "gt_u8.i32"))
        ob, orows = run_ours(args.driver, work, args.dim, 8, args.m, args.efc, args.k, efs, env={"VANTOR_BENCH_U8": "1"})
        index = hnswlib.Index(space="l2", dim=args.dim)
        index.init_index(max_elements=len(qd), M=args.m, ef_construction=args.efc, random_seed=7)
        t0 = time.perf_counter()
        index.add_items(qd.astype(np.float32), np.arange(len(qd)), num_threads=8)
        pb = time.perf_counter() - t0
        prows = []
        for ef in efs:
            index.set_ef(ef)
            s0 = time.perf_counter()
            labels = index.knn_query(qq.astype(np.float32), k=args.k, num_threads=8)[0]
            prows.append({"ef": ef, "recall": recall(labels, gt8), "qps": len(qq) / (time.perf_counter() - s0)})
        print(f"build time   ours {ob['build_s']:8.2f} s   hnswlib {pb:8.2f} s: ours/hnswlib = {ob['build_s'] / pb:.2f}")
        for o, p in zip(orows, prows):
            print(f"{o['ef']:>5} recall ours {o['recall']:.4f} qps {o['qps']:.0f}   "
                  f"hnswlib {p['recall']:.4f} qps {p['qps']:.0f}")
        qo, qp = qps_at(orows, args.target), qps_at(prows, args.target)
        if qo and qp:
            print(f"u8 QPS at recall {args.target}: ours/hnswlib = {qo / qp:.2f}  ({qo:.0f} vs {qp:.0f})")


if __name__ == "__main__":
    main()
