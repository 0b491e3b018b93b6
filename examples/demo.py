"""Prices a few options and prints their Greeks."""

import kestrovane as kv

GREEKS = ["delta", "gamma", "vega", "theta", "rho", "vanna", "charm", "vomma",
          "speed", "zomma", "color", "veta", "ultima", "dual_delta", "dual_gamma"]

OPTIONS = [
    ("bs", "c", (100.0, 100.0, 1.0, 0.05, 0.2), ()),
    ("bs", "p", (100.0, 100.0, 1.0, 0.05, 0.2), ()),
    ("bsm", "c", (100.0, 95.0, 0.7, 0.03, 0.25), (0.02,)),
    ("black76", "p", (100.0, 95.0, 0.75, 0.03, 0.25), ()),
]
PRICE = {"bs": "black_scholes", "bsm": "black_scholes_merton", "black76": "black"}

for model, flag, args, extra in OPTIONS:
    S, K, t, r, sigma = args
    price = getattr(kv, f"{model}_{PRICE[model]}")(flag, *args, *extra)
    kind = "call" if flag == "c" else "put"
    print(f"{model} {kind}: S/F={S} K={K} t={t} r={r} sigma={sigma}"
          + (f" q={extra[0]}" if extra else ""))
    print(f"  {'price':<11}{price:>16.10f}")
    for greek in GREEKS:
        value = getattr(kv, f"{model}_{greek}")(flag, *args, *extra)
        print(f"  {greek:<11}{value:>16.10f}")
    if model == "black76":
        vol = kv.black76_implied_volatility(price, S, K, r, t, flag)
    else:
        vol = getattr(kv, f"{model}_implied_volatility")(price, S, K, t, r, *extra, flag)
    print(f"  {'implied vol':<11}{vol:>16.10f}")
    print()
