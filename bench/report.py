"""run_bench.py's results drawn (time per megapixel) and as the tables of
docs/benchmarks.md.
"""


def plot(results, path):
    import matplotlib

    matplotlib.use("Agg")
    matplotlib.rcParams["svg.hashsalt"] = "quorvelpbm"
    import matplotlib.pyplot as plt

    sizes = [r["megapixels"] for r in results["bmp2pbm"]]
    names = list(results["bmp2pbm"][0]["hyperfine"])
    styles = {"cat": dict(color="black", linestyle="--", marker="s"),
              "quorvelpbm": dict(color="tab:blue", linewidth=2.5, marker="o"),
              "Pillow": dict(color="tab:green", marker="^"),
              "netpbm": dict(color="tab:orange", marker="v"),
              "ImageMagick": dict(color="tab:red", marker="D")}
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for name in names:
        per_mp = [r["hyperfine"][name]["median_s"] * 1000 / r["megapixels"] for r in results["bmp2pbm"]]
        label = "cat in > out (the floor)" if name == "cat" else name
        ax.plot(sizes, per_mp, label=label, **styles.get(name, dict(marker="^")))
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xticks(sizes, [f"{s} MP" for s in sizes])
    ax.set_xlabel("picture size (megapixels)")
    ax.set_ylabel("median time per megapixel (ms)")
    ax.set_title("BMP to plain PBM, median of hyperfine runs")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, metadata={"Date": None} if path.endswith(".svg") else None)


def markdown(results):
    """The tables of docs/benchmarks.md."""
    lines = ["| picture | command | median | per megapixel | x cat | peak memory |",
             "|---|---|---:|---:|---:|---:|"]
    for r in results["bmp2pbm"]:
        cat = r["hyperfine"]["cat"]["median_s"]
        for name, h in r["hyperfine"].items():
            lines.append(f"| {r['megapixels']} MP | {name} | {h['median_s'] * 1000:.1f} ms "
                         f"| {h['median_s'] * 1000 / r['megapixels']:.2f} ms | {h['median_s'] / cat:.2f} "
                         f"| {r['peak_rss_kib'][name] / 1024:.1f} MiB |")
    for r in results.get("pbm2bmp", []):
        cat = r["hyperfine"]["cat"]["median_s"]
        for name, h in r["hyperfine"].items():
            lines.append(f"| pbm2bmp {r['kind']} {r['megapixels']} MP | {name} | {h['median_s'] * 1000:.1f} ms "
                         f"| {h['median_s'] * 1000 / r['megapixels']:.2f} ms | {h['median_s'] / cat:.2f} "
                         f"| {r['peak_rss_kib'][name] / 1024:.1f} MiB |")
    lines += ["", "| picture | cat (median) | quorvelpbm (median) | median of pair ratios | quartiles | load |",
              "|---|---:|---:|---:|---:|---:|"]
    paired_rows = [(f"bmp2pbm {r['megapixels']} MP", r["paired"]) for r in results["bmp2pbm"]]
    if "pbm2bmp_1000x1000" in results:
        paired_rows.append(("pbm2bmp 1 MP", results["pbm2bmp_1000x1000"]))
    for r in results.get("pbm2bmp", []):
        paired_rows.append((f"pbm2bmp {r['kind']} {r['megapixels']} MP", r["paired"]))
    for label, p in paired_rows:
        q = p["ratio_quartiles"]
        lines.append(f"| {label} | {p['floor_median_s'] * 1000:.1f} ms | {p['ours_median_s'] * 1000:.1f} ms "
                     f"| {p['ratio_median']:.2f} | {q[0]:.2f} - {q[2]:.2f} "
                     f"| {p['load_min']:.2f} - {p['load_max']:.2f} |")
    if results.get("variants"):
        lines += ["", "| picture | 24-bit (median) | variant (median) | median of pair ratios | quartiles | peak memory |",
                  "|---|---:|---:|---:|---:|---:|"]
        for v in results["variants"]:
            q = v["ratio_quartiles"] or [v["ratio_median"]] * 3
            lines.append(f"| {v['megapixels']} MP {v['variant']} | {v['floor_median_s'] * 1000:.1f} ms "
                         f"| {v['ours_median_s'] * 1000:.1f} ms | {v['ratio_median']:.2f} | {q[0]:.2f} - {q[2]:.2f} "
                         f"| {v['peak_rss_kib'] / 1024:.1f} MiB |")
    return "\n".join(lines)
