// Natural runs and their stable merging: the pure code that orders a list already in order but
// for a few items, or made of a few sorted stretches, in about the comparisons that the
// interpreter's own sort spends on it.
//
// A run is a stretch that does not descend, or one that does not ascend; the latter is reversed,
// and each group of equal items within it reversed back, so that equal items keep their order.
// The runs are found in one pass that moves nothing, and merged in a second, neighbour with
// neighbour, in the order of powersort: the cost is about n times the entropy of the runs'
// lengths, and each merge first skips what already stands in place (one stray item costs a
// binary search and a move).
//
// `comparar(x, y)` is negative, zero or positive as x orders before, with, or after y.
#ifndef VESKSORT_CORRIDAS_H
#define VESKSORT_CORRIDAS_H

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vesksort {

// A run as the first pass records it: its end, and what the merge does to it first; or where
// the pass was told to stop.
inline constexpr std::uint64_t corrida_descendente = std::uint64_t{1} << 63;
inline constexpr std::uint64_t corrida_com_iguais = std::uint64_t{1} << 62;
inline constexpr std::uint64_t corrida_interrompida = std::uint64_t{1} << 61;
inline constexpr std::uint64_t corrida_fim = corrida_interrompida - 1;

// What merging a run of `comprimento` among n items costs, in items moved by a merge: about
// its length times log2(n / comprimento).
inline std::uint64_t custo_corrida(std::size_t comprimento, std::size_t n) {
  return static_cast<std::uint64_t>(comprimento) *
         static_cast<std::uint64_t>(std::bit_width(n) - std::bit_width(comprimento));
}

// A comparator that offers each item a quick key (chave_rapida(x)), which com_chaves(x, its key,
// y, its key) compares first: the runs' pass and the merges build each item's key once, where
// comparar(x, y) would build both keys of every comparison.
template <class Comparar, class T>
concept ComChavesRapidas = requires(const Comparar& comparar, const T& x, std::uint64_t chave) {
  { comparar.chave_rapida(x) } -> std::same_as<std::uint64_t>;
  { comparar.com_chaves(x, chave, x, chave) } -> std::same_as<int>;
};

// A comparator that can fetch ahead what comparing an item reads (buscar(x)): a merge of items
// that lie beyond the caches fetches each run's items a few places ahead of its cursor.
template <class Comparar, class T>
concept ComBusca = requires(const Comparar& comparar, const T& x) { comparar.buscar(x); };

// An item as a pass or a merge holds it, with its quick key where the comparator offers one.
template <class T, class Comparar>
struct ItemComparado {
  T item;
  std::uint64_t chave = 0;

  [[gnu::always_inline]] ItemComparado(const T& x, const Comparar& comparar) : item(x) {
    if constexpr (ComChavesRapidas<Comparar, T>) {
      chave = comparar.chave_rapida(x);
    }
  }
};

template <class T, class Comparar>
[[gnu::always_inline]] inline int ordem_de(Comparar& comparar, const ItemComparado<T, Comparar>& x,
                                           const ItemComparado<T, Comparar>& y) {
  if constexpr (ComChavesRapidas<Comparar, T>) {
    return comparar.com_chaves(x.item, x.chave, y.item, y.chave);
  } else {
    return comparar(x.item, y.item);
  }
}

// Rows compared by the items `itens` that they number, with the items' quick keys where
// `Comparar` offers them.
template <class T, class Comparar>
struct CompararLinhas {
  const T* itens;
  const Comparar& comparar;

  int operator()(std::uint32_t a, std::uint32_t b) const { return comparar(itens[a], itens[b]); }
  void buscar(std::uint32_t linha) const
    requires ComBusca<Comparar, T>
  {
    comparar.buscar(itens[linha]);
  }
  std::uint64_t chave_rapida(std::uint32_t linha) const
    requires ComChavesRapidas<Comparar, T>
  {
    return comparar.chave_rapida(itens[linha]);
  }
  int com_chaves(std::uint32_t a, std::uint64_t chave_a, std::uint32_t b,
                 std::uint64_t chave_b) const
    requires ComChavesRapidas<Comparar, T>
  {
    return comparar.com_chaves(itens[a], chave_a, itens[b], chave_b);
  }
};

// The run that starts at `inicio` (< n): its end, with its marks. ao_ver(j) is called for each
// item j after the first before it is compared; false ends the pass there (the end is then j,
// marked corrida_interrompida).
// Each item of a descending run that equals the one before it is told to
// corridas.marcar_igual(j), so that the merge need not compare them again.
template <class T, class Comparar, class AoVer, class Corridas>
std::uint64_t medir_corrida(const T* a, std::size_t inicio, std::size_t n, Comparar& comparar,
                            AoVer& ao_ver, Corridas& corridas) {
  std::size_t j = inicio + 1;
  if (j == n) {
    return j;
  }
  if (!ao_ver(j)) {
    return j | corrida_interrompida;
  }
  // Every comparison but one is of a[j] with a[j - 1], for j rising by one from inicio + 1.
  ItemComparado<T, Comparar> anterior(a[inicio], comparar);
  const auto com_o_anterior = [&](std::size_t k) {
    const ItemComparado<T, Comparar> atual(a[k], comparar);
    const int ordem = ordem_de(comparar, atual, anterior);
    anterior = atual;
    return ordem;
  };
  std::uint64_t marcas = corrida_descendente;
  if (com_o_anterior(j) >= 0) {
    for (++j; j < n; ++j) {
      if (!ao_ver(j)) {
        return j | corrida_interrompida;
      }
      if (com_o_anterior(j) < 0) {
        break;
      }
    }
    // Equal items followed by a smaller one begin a descending run (descending with equal
    // neighbours is one run, as under the interpreter's sort).
    if (j == n || comparar(a[inicio], a[j - 1]) != 0) {
      return j;
    }
    marcas |= corrida_com_iguais;
    for (std::size_t k = inicio + 1; k < j; ++k) {
      corridas.marcar_igual(k);
    }
  }
  for (++j; j < n; ++j) {
    if (!ao_ver(j)) {
      return j | corrida_interrompida;
    }
    const int ordem = com_o_anterior(j);
    if (ordem > 0) {
      break;
    }
    if (ordem == 0) {
      marcas |= corrida_com_iguais;
      corridas.marcar_igual(j);
    }
  }
  return j | marcas;
}

// A descending run a[inicio ... fim) reversed, its groups of equal items in their order again:
// each group is reversed first, where corridas.igual(j) tells that item j equals the one before
// (when the marks could be kept), or comparisons do.
template <class T, class Comparar, class Corridas>
void endireitar_corrida(T* a, std::size_t inicio, std::uint64_t corrida, Comparar& comparar,
                        const Corridas& corridas) {
  const std::size_t fim = corrida & corrida_fim;
  if ((corrida & corrida_com_iguais) != 0) {
    const bool marcados = corridas.iguais_marcados();
    for (std::size_t i = inicio; i < fim;) {
      std::size_t j = i + 1;
      while (j < fim && (marcados ? corridas.igual(j) : comparar(a[j - 1], a[j]) == 0)) {
        ++j;
      }
      std::reverse(a + i, a + j);
      i = j;
    }
  }
  std::reverse(a + inicio, a + fim);
}

// Stable merges of neighbouring runs of `a`, in the order that powersort gives them, with room
// for half the items in `auxiliar`.
template <class T, class Comparar>
class FusaoCorridas {
 public:
  FusaoCorridas(T* a, T* auxiliar, std::size_t n, Comparar& comparar)
      : a_(a), auxiliar_(auxiliar), n_(n), comparar_(comparar) {}

  // The run a[inicio ... fim), which follows the last one given.
  void acrescentar(std::size_t inicio, std::size_t fim) {
    if (topo_ > 0) {
      const Pendente& ultima = pilha_[topo_ - 1];
      const int potencia = potencia_entre(ultima.inicio, ultima.comprimento, fim - inicio);
      while (topo_ > 1 && pilha_[topo_ - 2].potencia > potencia) {
        fundir_no_topo();
      }
      pilha_[topo_ - 1].potencia = potencia;
    }
    pilha_[topo_++] = Pendente{inicio, fim - inicio, 0};
  }

  // Merges what is left; false when the work done passes `orcamento` before the end.
  bool terminar(std::uint64_t orcamento = UINT64_MAX) {
    while (topo_ > 1) {
      if (trabalho_ > orcamento) {
        return false;
      }
      fundir_no_topo();
    }
    return true;
  }

  // The comparisons that the merges have made so far: stretches that a merge moves as a block
  // cost it a search.
  std::uint64_t trabalho() const { return trabalho_; }

 private:
  struct Pendente {
    std::size_t inicio;
    std::size_t comprimento;
    int potencia;  // of the boundary with the next run
  };

  // The depth in powersort's tree of the boundary between a run and the next: the first bit in
  // which the midpoints of the two, as fractions of n, differ.
  int potencia_entre(std::size_t inicio, std::size_t comprimento, std::size_t seguinte) const {
    std::size_t a = 2 * inicio + comprimento;
    std::size_t b = a + comprimento + seguinte;
    int potencia = 0;
    for (;;) {
      ++potencia;
      if (a >= n_) {
        a -= n_;
        b -= n_;
      } else if (b >= n_) {
        return potencia;
      }
      a <<= 1;
      b <<= 1;
    }
  }

  void fundir_no_topo() {
    Pendente& primeira = pilha_[topo_ - 2];
    const Pendente& segunda = pilha_[topo_ - 1];
    fundir(primeira.inicio, segunda.inicio, segunda.inicio + segunda.comprimento);
    primeira.comprimento += segunda.comprimento;
    --topo_;
  }

  // a[inicio ... meio) and a[meio ... fim), each in order, merged; on ties the first wins.
  void fundir(std::size_t inicio, std::size_t meio, std::size_t fim) {
    // The first run's items up to the second's first stay in place, as do the second run's
    // items from the first's last on.
    const T& primeiro_da_segunda = a_[meio];
    inicio = static_cast<std::size_t>(
        std::upper_bound(a_ + inicio, a_ + meio, primeiro_da_segunda,
                         [this](const T& x, const T& y) { return antes(x, y); }) -
        a_);
    if (inicio == meio) {
      return;
    }
    const T& ultimo_da_primeira = a_[meio - 1];
    fim = static_cast<std::size_t>(
        std::lower_bound(a_ + meio, a_ + fim, ultimo_da_primeira,
                         [this](const T& x, const T& y) { return antes(x, y); }) -
        a_);
    if (meio - inicio <= fim - meio) {
      fundir_para_frente(inicio, meio, fim);
    } else {
      fundir_para_tras(inicio, meio, fim);
    }
  }

  // After this many items in a row from one side, a merge searches for the end of that side's
  // stretch instead of stepping through it: equal items many times over, a few items among
  // many, and runs that interleave in blocks cost a search per block.
  static constexpr std::size_t a_galope = 7;

  using Item = ItemComparado<T, Comparar>;

  // How far ahead of a cursor its run's items are fetched, in merges of this many items or more:
  // fewer lie in the caches, where the fetches only cost.
  static constexpr std::size_t distancia_busca = 8;
  static constexpr std::size_t menor_com_busca = std::size_t{1} << 14;

  void buscar_adiante(const T* v, std::size_t k, std::size_t fim) const {
    if constexpr (ComBusca<Comparar, T>) {
      if (n_ >= menor_com_busca && k + distancia_busca < fim) {
        comparar_.buscar(v[k + distancia_busca]);
      }
    }
  }
  void buscar_atras(const T* v, std::size_t k, std::size_t inicio) const {
    if constexpr (ComBusca<Comparar, T>) {
      if (n_ >= menor_com_busca && k >= inicio + distancia_busca) {
        comparar_.buscar(v[k - distancia_busca]);
      }
    }
  }

  [[gnu::always_inline]] bool antes(const T& x, const T& y) {
    ++trabalho_;
    return comparar_(x, y) < 0;
  }

  // The first of v[de ... ate) for which `segue(item)` is false (it holds on a prefix), searched
  // by doubling steps from `de`: about 2 log2 of the distance.
  template <class Segue>
  static std::size_t galopar(const T* v, std::size_t de, std::size_t ate, Segue segue) {
    std::size_t passo = 1;
    std::size_t base = de;
    while (base + passo <= ate && segue(v[base + passo - 1])) {
      base += passo;
      passo *= 2;
    }
    const std::size_t limite = base + passo - 1 < ate ? base + passo - 1 : ate;
    return static_cast<std::size_t>(std::partition_point(v + base, v + limite, segue) - v);
  }

  // The first of v[de ... ate) for which `depois(item)` holds (it holds on a suffix), searched
  // by doubling steps back from `ate`.
  template <class Depois>
  static std::size_t galopar_de_tras(const T* v, std::size_t de, std::size_t ate, Depois depois) {
    std::size_t passo = 1;
    std::size_t topo = ate;
    while (topo - de >= passo && depois(v[topo - passo])) {
      topo -= passo;
      passo *= 2;
    }
    const std::size_t base = topo - de >= passo ? topo - passo + 1 : de;
    return static_cast<std::size_t>(
        std::partition_point(v + base, v + topo, [&](const T& item) { return !depois(item); }) - v);
  }

  // The first run, the shorter, goes aside and the merge fills a from its start. What is left
  // of the second run orders before the first's last: it runs out first.
  void fundir_para_frente(std::size_t inicio, std::size_t meio, std::size_t fim) {
    const std::size_t quantidade = meio - inicio;
    T* const aux = auxiliar_;
    std::memcpy(static_cast<void*>(aux), a_ + inicio, quantidade * sizeof(T));
    std::size_t i = 0;
    std::size_t j = meio;
    std::size_t k = inicio;
    std::size_t seguidos_primeira = 0;
    std::size_t seguidos_segunda = 0;
    while (i < quantidade && j < fim) {
      // The next of each run, each compared until it is placed.
      Item da_primeira_agora(aux[i], comparar_);
      Item da_segunda_agora(a_[j], comparar_);
      for (;;) {
        ++trabalho_;
        if (ordem_de(comparar_, da_segunda_agora, da_primeira_agora) < 0) {
          a_[k++] = da_segunda_agora.item;
          ++seguidos_segunda;
          seguidos_primeira = 0;
          if (++j == fim || seguidos_segunda == a_galope) {
            break;
          }
          buscar_adiante(a_, j, fim);
          da_segunda_agora = Item(a_[j], comparar_);
        } else {
          a_[k++] = da_primeira_agora.item;
          ++seguidos_primeira;
          seguidos_segunda = 0;
          if (++i == quantidade || seguidos_primeira == a_galope) {
            break;
          }
          buscar_adiante(aux, i, quantidade);
          da_primeira_agora = Item(aux[i], comparar_);
        }
      }
      if (i == quantidade || j == fim) {
        break;
      }
      std::size_t da_primeira = 0;
      std::size_t da_segunda = 0;
      do {
        // The first run's items up to the second's next, then the second's before the first's.
        const T& proximo = a_[j];
        const std::size_t x =
            galopar(aux, i, quantidade, [&](const T& item) { return !antes(proximo, item); });
        da_primeira = x - i;
        std::memcpy(static_cast<void*>(a_ + k), aux + i, da_primeira * sizeof(T));
        k += da_primeira;
        i = x;
        if (i == quantidade) {
          break;
        }
        a_[k++] = a_[j++];
        if (j == fim) {
          break;
        }
        const T& seguinte = aux[i];
        const std::size_t y =
            galopar(a_, j, fim, [&](const T& item) { return antes(item, seguinte); });
        da_segunda = y - j;
        std::memmove(static_cast<void*>(a_ + k), a_ + j, da_segunda * sizeof(T));
        k += da_segunda;
        j = y;
        if (j == fim) {
          break;
        }
        a_[k++] = aux[i++];
        if (i == quantidade) {
          break;
        }
      } while (da_primeira >= a_galope || da_segunda >= a_galope);
      seguidos_primeira = 0;
      seguidos_segunda = 0;
    }
    std::memcpy(static_cast<void*>(a_ + k), aux + i, (quantidade - i) * sizeof(T));
  }

  // The second run, the shorter, goes aside and the merge fills a from its end. What is left
  // of the first run orders after the second's first: it runs out first.
  void fundir_para_tras(std::size_t inicio, std::size_t meio, std::size_t fim) {
    const std::size_t quantidade = fim - meio;
    T* const aux = auxiliar_;
    std::memcpy(static_cast<void*>(aux), a_ + meio, quantidade * sizeof(T));
    std::size_t i = meio;  // one past the first run's next item
    std::size_t j = quantidade;
    std::size_t k = fim;
    std::size_t seguidos_primeira = 0;
    std::size_t seguidos_segunda = 0;
    while (i > inicio && j > 0) {
      // The last left of each run, each compared until it is placed.
      Item da_primeira_agora(a_[i - 1], comparar_);
      Item da_segunda_agora(aux[j - 1], comparar_);
      for (;;) {
        ++trabalho_;
        if (ordem_de(comparar_, da_segunda_agora, da_primeira_agora) < 0) {
          a_[--k] = da_primeira_agora.item;
          ++seguidos_primeira;
          seguidos_segunda = 0;
          if (--i == inicio || seguidos_primeira == a_galope) {
            break;
          }
          buscar_atras(a_, i - 1, inicio);
          da_primeira_agora = Item(a_[i - 1], comparar_);
        } else {
          a_[--k] = da_segunda_agora.item;
          ++seguidos_segunda;
          seguidos_primeira = 0;
          if (--j == 0 || seguidos_segunda == a_galope) {
            break;
          }
          buscar_atras(aux, j - 1, 0);
          da_segunda_agora = Item(aux[j - 1], comparar_);
        }
      }
      if (i == inicio || j == 0) {
        break;
      }
      std::size_t da_primeira = 0;
      std::size_t da_segunda = 0;
      do {
        // The first run's items after the second's next, then the second's not before the
        // first's.
        const T& proximo = aux[j - 1];
        const std::size_t x =
            galopar_de_tras(a_, inicio, i, [&](const T& item) { return antes(proximo, item); });
        da_primeira = i - x;
        k -= da_primeira;
        std::memmove(static_cast<void*>(a_ + k), a_ + x, da_primeira * sizeof(T));
        i = x;
        if (i == inicio) {
          break;
        }
        a_[--k] = aux[--j];
        if (j == 0) {
          break;
        }
        const T& seguinte = a_[i - 1];
        const std::size_t y =
            galopar_de_tras(aux, 0, j, [&](const T& item) { return !antes(item, seguinte); });
        da_segunda = j - y;
        k -= da_segunda;
        std::memcpy(static_cast<void*>(a_ + k), aux + y, da_segunda * sizeof(T));
        j = y;
        if (j == 0) {
          break;
        }
        a_[--k] = a_[--i];
        if (i == inicio) {
          break;
        }
      } while (da_primeira >= a_galope || da_segunda >= a_galope);
      seguidos_primeira = 0;
      seguidos_segunda = 0;
    }
    std::memcpy(static_cast<void*>(a_ + inicio), aux, j * sizeof(T));
  }

  T* a_;
  T* auxiliar_;
  std::size_t n_;
  Comparar& comparar_;
  // Powers grow strictly up the stack, and none exceeds the bits of 2n.
  Pendente pilha_[2 + 8 * sizeof(std::size_t)];
  int topo_ = 0;
  std::uint64_t trabalho_ = 0;
};

// The runs of a[0 ... n) in `corridas` (acrescentar(marked end) -> false when it cannot keep one
// more), while merging them looks worth `orcamento` items merged. Returns how many items were
// judged: n when every run is recorded, less when the pass stopped (too costly, ao_ver refused
// an item, or no room).
//
// The estimate, the runs' lengths times log2 of how many such runs n holds, is what the merges
// cost where runs interleave throughout; runs that barely overlap (a list in order but for some
// swapped neighbours) merge in a few steps each. So the pass lets the estimate reach 4 times the
// budget, and the merge counts its own work against the budget itself.
template <class T, class Comparar, class AoVer, class Corridas>
std::size_t medir_corridas(const T* a, std::size_t n, Comparar& comparar, AoVer& ao_ver,
                           Corridas& corridas, std::uint64_t orcamento) {
  const std::uint64_t limite = 4 * orcamento;
  // A list that is not made of long runs is found out within its first items: their runs cost
  // more than twice their share of the budget, beyond what n / 64 stray items would.
  const std::uint64_t por_item = orcamento / n;
  const std::uint64_t folga = custo_corrida(1, n) * (n / 64 + 1);
  std::uint64_t custo = 0;
  std::size_t inicio = 0;
  while (inicio < n) {
    const std::uint64_t corrida = medir_corrida(a, inicio, n, comparar, ao_ver, corridas);
    const std::size_t fim = corrida & corrida_fim;
    if ((corrida & corrida_interrompida) != 0) {
      return fim;
    }
    custo += custo_corrida(fim - inicio, n);
    if (custo > limite || custo > 2 * por_item * fim + folga || !corridas.acrescentar(corrida)) {
      return inicio;
    }
    inicio = fim;
  }
  return n;
}

// Whether the first few neighbours of a[0 ... n) keep one direction (ties aside): a list made of
// long runs shows it there, and one that is not is found out for the cost of a few comparisons.
// False also where ver(j) refuses one of them.
template <class T, class Comparar, class Ver>
bool comeca_monotona(const T* a, std::size_t n, Comparar& comparar, Ver& ver) {
  constexpr std::size_t vizinhos = 4;
  int subidas = 0;
  int descidas = 0;
  for (std::size_t j = 1; j <= vizinhos && j < n; ++j) {
    if (!ver(j)) {
      return false;
    }
    const int ordem = comparar(a[j - 1], a[j]);
    subidas += ordem < 0;
    descidas += ordem > 0;
  }
  return subidas == 0 || descidas == 0;
}

// How many items of a list in two runs or more are in their final places already: those of
// an ascending first run up to the smallest item after it. The runs are shifted to start after
// them. None where the first run descends, or where equal items are marked (the marks count
// from the start).
template <class T, class Comparar, class Corridas>
std::size_t cabeca_em_ordem(const T* a, Corridas& corridas, Comparar& comparar) {
  if ((corridas[0] & corrida_descendente) != 0 || corridas.com_iguais()) {
    return 0;
  }
  const std::size_t fim_primeira = corridas[0] & corrida_fim;
  // The smallest of each later run is its first, or its last where it descends.
  const T* menor = nullptr;
  std::size_t inicio_corrida = fim_primeira;
  for (std::size_t k = 1; k < corridas.quantidade(); ++k) {
    const std::size_t fim_corrida = corridas[k] & corrida_fim;
    const T* candidato =
        a + ((corridas[k] & corrida_descendente) != 0 ? fim_corrida - 1 : inicio_corrida);
    menor = menor == nullptr || comparar(*candidato, *menor) < 0 ? candidato : menor;
    inicio_corrida = fim_corrida;
  }
  if (menor == nullptr) {
    return 0;
  }
  const auto inicio = static_cast<std::size_t>(
      std::upper_bound(a, a + fim_primeira, *menor,
                       [&comparar](const T& x, const T& y) { return comparar(x, y) < 0; }) -
      a);
  corridas.comecar_em(inicio);
  return inicio;
}

// Orders a[0 ... n) by merging the runs that medir_corridas recorded (at least one), with room
// for n / 2 items in `auxiliar`. False when the merges' work passes `orcamento` first: a is then
// a permutation of what it was in which equal items keep their order (some runs merged, some
// reversed), for another stable sort to finish.
template <class T, class Comparar, class Corridas>
bool fundir_corridas(T* a, T* auxiliar, std::size_t n, const Corridas& corridas, Comparar& comparar,
                     std::uint64_t orcamento = UINT64_MAX) {
  FusaoCorridas<T, Comparar> fusao(a, auxiliar, n, comparar);
  std::size_t inicio = 0;
  for (std::size_t k = 0; k < corridas.quantidade(); ++k) {
    if (fusao.trabalho() > orcamento) {
      return false;
    }
    const std::uint64_t corrida = corridas[k];
    if ((corrida & corrida_descendente) != 0) {
      endireitar_corrida(a, inicio, corrida, comparar, corridas);
    }
    const std::size_t fim = corrida & corrida_fim;
    fusao.acrescentar(inicio, fim);
    inicio = fim;
  }
  return fusao.terminar(orcamento);
}

}  // namespace vesksort

#endif
