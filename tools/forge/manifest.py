"""manifest.json writer ("le-bundle-v0").

Every key the engine reads can be written under its primary spelling or its
alias (NT/frame_count, crop/crop_size, M_src_w/paste_source_width,
M_src_h/paste_source_height), the unsharp triple at the top level or inside a
nested block, and arbitrary extra keys or blocks for the refusal tests.
"""
import json

ALIASES = {
    "NT": "frame_count",
    "crop": "crop_size",
    "M_src_w": "paste_source_width",
    "M_src_h": "paste_source_height",
}


def manifest_fields(nt, w, h, crop, frames, m_src=None, agent="forge", unsharp=(0.5, 1.0, 5),
                    spelling="primary", nested_unsharp=False, extra=None, omit=()):
    """Ordered manifest dict. spelling: "primary" or "alias" for the aliased keys."""
    m_src_w, m_src_h = m_src if m_src else (w, h)
    key = (lambda k: ALIASES.get(k, k)) if spelling == "alias" else (lambda k: k)
    fields = {
        "format": "le-bundle-v0",
        "agent": agent,
        key("NT"): nt,
        "H": h,
        "W": w,
        key("M_src_w"): m_src_w,
        key("M_src_h"): m_src_h,
        key("crop"): crop,
        "frames": frames,
    }
    amount, sigma, ksize = unsharp
    triple = {"amount": amount, "sigma": sigma, "ksize": ksize}
    if nested_unsharp:
        fields["unsharp"] = triple
    else:
        fields.update(triple)
    for k in omit:
        fields.pop(k, None)
        fields.pop(ALIASES.get(k, k), None)
    fields.update(extra or {})
    return fields


def write_manifest(path, fields=None, text=None, **kw):
    """Writes a manifest from fields (or manifest_fields(**kw)), or raw text."""
    if text is None:
        text = json.dumps(fields if fields is not None else manifest_fields(**kw), indent=2) + "\n"
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return text
