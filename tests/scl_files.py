"""SCL documents the SCL tests write themselves: one small station with every
quirk the reader must handle, its address fields and root attributes as
parameters."""

from __future__ import annotations

STATION = """<?xml version="1.0" encoding="UTF-8"?>
<SCL xmlns="http://www.iec.ch/61850/2003/SCL" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"
     xmlns:v="http://example.com/vendor" @ROOT@>
  <Header id="station"/>
  <Communication>
    <SubNetwork name="PB" type="8-MMS">
      <ConnectedAP iedName="IED1" apName="AP1">
        <GSE ldInst="LD0" cbName="gcb1">
          <Address>
            <P type="MAC-Address" xsi:type="tP_MAC-Address">@GMAC@</P>
            <P type="APPID" xsi:type="tP_APPID">@GAPPID@</P>
            @GVLAN@
          </Address>
          <MinTime unit="s" multiplier="m">4</MinTime>
          <MaxTime unit="s" multiplier="m">1000</MaxTime>
        </GSE>
        <SMV ldInst="LD0" cbName="msvcb1">
          <Address>
            <P type="MAC-Address">01-0C-CD-04-00-01</P>
            <P type="APPID">4000</P>
            <P type="VLAN-ID">005</P>
            <P type="VLAN-PRIORITY">4</P>
          </Address>
        </SMV>
        <GSE ldInst="LD0" cbName="gcb3">
          <Address><P type="MAC-Address">01-0C-CD-01-00-03</P><P type="APPID">0003</P></Address>
        </GSE>
      </ConnectedAP>
    </SubNetwork>
  </Communication>
  <IED name="IED1">
    <AccessPoint name="AP1">
      <Server>
        <LDevice inst="LD0">
          <LN0 lnClass="LLN0" inst="" lnType="LLN0_T">
            <DataSet name="GooseDs">
              <FCDA ldInst="LD0" lnClass="XCBR" lnInst="1" doName="Pos" daName="stVal" fc="ST"/>
              <FCDA ldInst="LD0" lnClass="XCBR" lnInst="1" doName="Pos" daName="q" fc="ST"/>
              <FCDA ldInst="LD1" lnClass="GGIO" lnInst="1" doName="Ind1" daName="@INDTYPE@" fc="ST"/>
              <FCDA ldInst="LD0" lnClass="XCBR" lnInst="1" doName="Beh" daName="stVal" fc="ST"/>
            </DataSet>
            <DataSet name="SvDs">
              <FCDA ldInst="LD0" prefix="I" lnClass="TCTR" lnInst="1" doName="Amp" fc="MX"/>
              <FCDA ldInst="LD0" prefix="I" lnClass="TCTR" lnInst="2" doName="Amp" fc="MX"/>
              <FCDA ldInst="LD0" prefix="I" lnClass="TCTR" lnInst="3" doName="Amp" fc="MX"/>
              <FCDA ldInst="LD0" prefix="I" lnClass="TCTR" lnInst="4" doName="Amp" fc="MX"/>
              <FCDA ldInst="LD0" prefix="U" lnClass="TVTR" lnInst="1" doName="Vol" daName="instMag.i" fc="MX"/>
              <FCDA ldInst="LD0" prefix="U" lnClass="TVTR" lnInst="1" doName="Vol" daName="q" fc="MX"/>
              <FCDA ldInst="LD0" prefix="U" lnClass="TVTR" lnInst="2" doName="Vol" fc="MX"/>
              <FCDA ldInst="LD0" prefix="U" lnClass="TVTR" lnInst="3" doName="Vol" fc="MX"/>
              <FCDA ldInst="LD0" prefix="U" lnClass="TVTR" lnInst="4" doName="Vol" fc="MX"/>
            </DataSet>
            <DataSet name="WholeDs">
              <FCDA ldInst="LD0" lnClass="MMXU" lnInst="1" doName="A" fc="MX"/>
            </DataSet>
            <DataSet name="BadDs">
              <FCDA ldInst="LD0" lnClass="XCBR" lnInst="9" doName="Pos" daName="stVal" fc="ST"/>
              <FCDA ldInst="LD0" lnClass="XCBR" lnInst="1" doName="Nope" daName="stVal" fc="ST"/>
              <FCDA ldInst="LD0" lnClass="PTOC" lnInst="1" doName="Op" daName="general" fc="ST"/>
              <FCDA ldInst="LD0" lnClass="XCBR" lnInst="1" doName="Pos" daName="stVal" fc="ST"/>
            </DataSet>
            <GSEControl name="gcb1" appID="IED1_GO1" datSet="GooseDs" confRev="3" type="GOOSE"/>
            <GSEControl name="gcb2" appID="IED1_GO2" datSet="WholeDs" confRev="1"/>
            <GSEControl name="gcb3" appID="IED1_GO3" datSet="BadDs" confRev="1"/>
            <SampledValueControl name="msvcb1" smvID="IED1MU01" datSet="SvDs" confRev="2" smpRate="80"
                                 nofASDU="1" @SMPMOD@ multicast="true"><SmvOpts refreshTime="true"/></SampledValueControl>
            <v:Private><v:FCDA doName="ignored"/></v:Private>
          </LN0>
          <LN lnClass="XCBR" inst="1" lnType="XCBR_T"/>
          <LN prefix="I" lnClass="TCTR" inst="1" lnType="TCTR_T"/>
          <LN prefix="I" lnClass="TCTR" inst="2" lnType="TCTR_T"/>
          <LN prefix="I" lnClass="TCTR" inst="3" lnType="TCTR_T"/>
          <LN prefix="I" lnClass="TCTR" inst="4" lnType="TCTR_T"/>
          <LN prefix="U" lnClass="TVTR" inst="1" lnType="TVTR_T"/>
          <LN prefix="U" lnClass="TVTR" inst="2" lnType="TVTR_T"/>
          <LN prefix="U" lnClass="TVTR" inst="3" lnType="TVTR_T"/>
          <LN prefix="U" lnClass="TVTR" inst="4" lnType="TVTR_T"/>
          <LN lnClass="MMXU" inst="1" lnType="MMXU_T"/>
          <LN lnClass="PTOC" inst="1" lnType="PTOC_UNDECLARED"/>
        </LDevice>
        <LDevice inst="LD1">
          <LN0 lnClass="LLN0" inst="" lnType="LLN0_T"/>
          <LN lnClass="GGIO" inst="1" lnType="GGIO_T"/>
        </LDevice>
      </Server>
    </AccessPoint>
  </IED>
  <IED name="IED2">
    <AccessPoint name="AP1">
      <Server>
        <LDevice inst="PROT">
          <LN0 lnClass="LLN0" inst="" lnType="LLN0_T">
            <Inputs>
              <ExtRef iedName="IED1" ldInst="LD0" lnClass="XCBR" lnInst="1" doName="Pos" daName="stVal"
                      serviceType="GOOSE" srcLDInst="LD0" srcLNClass="LLN0" srcCBName="gcb1"/>
              <ExtRef iedName="IED1" ldInst="LD0" prefix="I" lnClass="TCTR" lnInst="1" doName="Amp"/>
            </Inputs>
          </LN0>
        </LDevice>
      </Server>
    </AccessPoint>
  </IED>
  <DataTypeTemplates>
    <LNodeType id="LLN0_T" lnClass="LLN0"><DO name="Beh" type="ENS_Beh"/></LNodeType>
    <LNodeType id="XCBR_T" lnClass="XCBR"><DO name="Beh" type="ENS_Beh"/><DO name="Pos" type="DPC_T"/></LNodeType>
    <LNodeType id="GGIO_T" lnClass="GGIO"><DO name="Ind1" type="SPS_T"/></LNodeType>
    <LNodeType id="TCTR_T" lnClass="TCTR"><DO name="Amp" type="SAV_T"/></LNodeType>
    <LNodeType id="TVTR_T" lnClass="TVTR"><DO name="Vol" type="SAV_T"/></LNodeType>
    <LNodeType id="MMXU_T" lnClass="MMXU"><DO name="A" type="WYE_T"/></LNodeType>
    <DOType id="ENS_Beh" cdc="ENS">
      <DA name="stVal" bType="Enum" type="BehaviourModeKind" fc="ST"/>
      <DA name="q" bType="Quality" fc="ST"/>
    </DOType>
    <DOType id="DPC_T" cdc="DPC">
      <DA name="stVal" bType="Dbpos" fc="ST"/>
      <DA name="q" bType="Quality" fc="ST"/>
      <DA name="t" bType="Timestamp" fc="ST"/>
      <DA name="ctlModel" bType="Enum" type="CtlModelKind" fc="CF"/>
    </DOType>
    <DOType id="SPS_T" cdc="SPS">
      <DA name="stVal" bType="BOOLEAN" fc="ST"/>
      <DA name="cnt" bType="INT32" fc="ST"/>
      <DA name="q" bType="Quality" fc="ST"/>
    </DOType>
    <DOType id="SAV_T" cdc="SAV">
      <DA name="instMag" bType="Struct" type="AnalogueValue_I" fc="MX"/>
      <DA name="q" bType="Quality" fc="MX"/>
      <DA name="sVC" bType="Struct" type="ScaledValueConfig" fc="CF"/>
    </DOType>
    <DOType id="WYE_T" cdc="WYE">
      <SDO name="phsA" type="CMV_T"/>
      <SDO name="phsB" type="CMV_T"/>
      <DA name="d" bType="VisString255" fc="DC"/>
    </DOType>
    <DOType id="CMV_T" cdc="CMV">
      <DA name="cVal" bType="Struct" type="Vector_T" fc="MX"/>
      <DA name="q" bType="Quality" fc="MX"/>
    </DOType>
    <DAType id="AnalogueValue_I"><BDA name="i" bType="INT32"/></DAType>
    <DAType id="AnalogueValue_F"><BDA name="f" bType="FLOAT32"/></DAType>
    <DAType id="Vector_T"><BDA name="mag" bType="Struct" type="AnalogueValue_F"/></DAType>
    <DAType id="ScaledValueConfig"><BDA name="scaleFactor" bType="FLOAT32"/><BDA name="offset" bType="FLOAT32"/></DAType>
    <EnumType id="BehaviourModeKind">
      <EnumVal ord="1">on</EnumVal><EnumVal ord="2">blocked</EnumVal><EnumVal ord="3">test</EnumVal>
      <EnumVal ord="4">test/blocked</EnumVal><EnumVal ord="5">off</EnumVal>
    </EnumType>
    <EnumType id="CtlModelKind"><EnumVal ord="0">status-only</EnumVal></EnumType>
  </DataTypeTemplates>
</SCL>
"""

EDITION_2_1 = 'version="2007" revision="B" release="4"'


def station(*, root: str = EDITION_2_1, mac: str = "01-0C-CD-01-00-01", app_id: str = "0001",
            vlan: str | None = "00A", ind: str = "stVal", smp_mod: str = 'smpMod="SmpPerPeriod"') -> str:
    """The station's SCL text: IED1 publishes gcb1 (GOOSE, at ``mac``/``app_id``/``vlan``), gcb2 and gcb3 (no
    address, a data set that does not resolve) and msvcb1 (SV, 9-2LE); IED2 subscribes."""
    vlan_p = "" if vlan is None else (f'<P type="VLAN-ID" xsi:type="tP_VLAN-ID">{vlan}</P>'
                                      '<P type="VLAN-PRIORITY">4</P>')
    return (STATION.replace("@ROOT@", root).replace("@GMAC@", mac).replace("@GAPPID@", app_id)
            .replace("@GVLAN@", vlan_p).replace("@INDTYPE@", ind).replace("@SMPMOD@", smp_mod))
